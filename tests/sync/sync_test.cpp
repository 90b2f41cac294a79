// What the sync classes add to the platform: the mutex constructors, the light mutex's
// ignored timeout, event reset modes, copies and wrappers, the wait functions' results and
// bad arguments, and the scoped locks.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "CZolEvent.h"
#include "CZolLightMutex.h"
#include "CZolLocker.h"
#include "CZolMutex.h"
#include "CZolSingleLock.h"
#include "ZolTestSupport.h"

namespace {

bool isSet(CZolEvent& event) {
    CZolEvent probe(static_cast<long>(event));  // a wrapper: manual, so this never resets
    return SyncWaitForSingleEvent(probe, 0) == 0;
}
struct Name : CZolSyncObject {
    static const char* of(const CZolSyncObject& o) { return (o.*(&Name::m_strName)).c_str(); }
};
struct ProbeEvent : CZolEvent {
    using CZolEvent::CZolEvent;
    using CZolEvent::operator=;
    int owns() const { return m_bOwnsHandle; }
};
int lockedElsewhere(CZolSyncObject& object) {
    int got = -1;
    std::thread([&] { got = object.Lock(0) ? (object.Unlock(), 1) : 0; }).join();
    return got;
}

TEST(Mutex, ConstructorsOwnOpenAndFailQuietly) {
    std::string name = zoltest::uniqueName("mtx");
    CZolMutex owned(1, name.c_str(), 0);
    EXPECT_STREQ(Name::of(owned), name.c_str());
    EXPECT_EQ(lockedElsewhere(owned), 0);
    CZolMutex opened(1, name.c_str(), 1);  // opens without taking it
    EXPECT_NE(static_cast<long>(opened), 0);
    EXPECT_EQ(owned.Unlock(), 1);
    EXPECT_EQ(lockedElsewhere(opened), 1);
    CZolMutex missing(1, zoltest::uniqueName("none").c_str(), 1);
    EXPECT_EQ(static_cast<long>(missing), 0);
    EXPECT_EQ(missing.Lock(0) + missing.Unlock(), 0);
    CZolMutex plain(0, nullptr, 0);
    EXPECT_STREQ(Name::of(plain), "");
    EXPECT_EQ(lockedElsewhere(plain), 1);
    CZolLightMutex light(1);
    int got = -1;
    std::thread other([&] {
        got = light.Lock(0);
        light.Unlock();
    });  // Lock(0) waits
    EXPECT_FALSE(zoltest::waitUntil([&] { return got != -1; }, 100));
    EXPECT_EQ(light.Unlock(), 1);
    other.join();
    EXPECT_EQ(got, 1);
    struct Base : CZolSyncObject {
        Base() : CZolSyncObject(nullptr) {}
        int Lock(long) override { return 1; }
        void Trace() const override {}
    } base;
    EXPECT_EQ(base.CZolSyncObject::Unlock(), 0);
}

TEST(Event, ResetModesWrappersCopiesAndAssignment) {
    CZolEvent autoReset(1, 0, zoltest::uniqueName("ev").c_str());
    EXPECT_EQ(autoReset.Lock(0xFFFFFFFF), 1);
    EXPECT_FALSE(isSet(autoReset));
    EXPECT_EQ(SyncWaitForSingleEvent(autoReset, 10), 258u);
    CZolEvent manual(0, 1, nullptr);
    EXPECT_EQ(manual.SetEvent() + manual.Lock(0) + manual.Lock(0) + manual.Unlock(), 4);
    EXPECT_TRUE(isSet(manual));
    EXPECT_EQ(manual.ResetEvent(), 1);
    EXPECT_FALSE(isSet(manual));
    ProbeEvent owner(0, 0, "");
    {
        ProbeEvent wrapper(static_cast<long>(owner)), copy(owner), copyOfCopy(copy);
        EXPECT_EQ(wrapper.owns() + copy.owns() + copyOfCopy.owns(), 0);
        EXPECT_EQ(wrapper.IsManual() * 10 + copyOfCopy.IsManual(), 10);
        wrapper.SetEvent();
        EXPECT_EQ(wrapper.Lock(0) + wrapper.Lock(0), 2);  // the wrapper does not reset
        EXPECT_EQ(copyOfCopy.Lock(0), 1);                 // the copy does
        EXPECT_FALSE(isSet(owner));
        ProbeEvent target(0, 0, nullptr);
        target = ProbeEvent(0, 1, "src");
        EXPECT_EQ(target.owns() * 10 + target.IsManual(), 1);
        EXPECT_STREQ(Name::of(target), "src");
    }
    EXPECT_EQ(owner.owns(), 1);
    EXPECT_EQ(owner.SetEvent() + owner.Lock(0), 2);  // the copies closed nothing
}

// Both wait-any forms: the lowest set index wins and only that event, if auto reset, is reset.
TEST(WaitAny, ReturnsTheLowestSetIndexAndResetsOnlyThatEvent) {
    const struct {
        std::vector<int> manual, set;
        unsigned int expected;
        std::vector<int> setAfter;
    } cases[] = {
        {{0, 0, 0}, {0, 1, 0}, 1, {0, 0, 0}},
        {{1, 0, 0}, {0, 1, 1}, 1, {0, 0, 1}},
        {{1, 0}, {1, 1}, 0, {1, 1}},
        {{0, 1}, {0, 0}, 258, {0, 0}},
    };
    for (bool pointers : {false, true}) {
        for (const auto& c : cases) {
            std::vector<CZolEvent> events;
            events.reserve(c.set.size());
            std::vector<CZolEvent*> addresses;
            for (size_t i = 0; i < c.set.size(); ++i) {
                events.emplace_back(c.set[i], c.manual[i], nullptr);
                addresses.push_back(&events.back());
            }
            auto n = static_cast<unsigned int>(events.size());
            EXPECT_EQ(pointers ? SyncWaitForMultipleEventsPtr(n, addresses.data(), 20)
                               : SyncWaitForMultipleEvents(n, events.data(), 20),
                      c.expected);
            for (size_t i = 0; i < events.size(); ++i) {
                EXPECT_EQ(isSet(events[i]), c.setAfter[i] != 0) << i;
            }
        }
    }
}

// Bad arguments give the failed-wait result; nothing crashes and nothing is reset.
TEST(WaitAny, BadArgumentsAreFailedWaits) {
    CZolEvent set(1, 0, nullptr);
    std::vector<CZolEvent> events(129, CZolEvent(static_cast<long>(set)));
    auto* gone = new CZolEvent(0, 0, nullptr);
    CZolEvent closed(static_cast<long>(*gone));  // a wrapper that outlived its owner
    delete gone;
    CZolEvent* withNull[2] = {&set, nullptr};
    CZolEvent* withClosed[2] = {&closed, &set};
    const unsigned int results[] = {
        SyncWaitForMultipleEventsPtr(2, withNull, 0),
        SyncWaitForMultipleEventsPtr(2, withClosed, 0),
        SyncWaitForMultipleEventsPtr(1, nullptr, 0),
        SyncWaitForMultipleEvents(1, nullptr, 0),
        SyncWaitForMultipleEvents(0, &set, 0),
        SyncWaitForMultipleEvents(129, events.data(), 0),
        SyncWaitForSingleEvent(closed, 0),
    };
    for (unsigned int result : results) {
        EXPECT_EQ(result, 0xFFFFFFFFu);
    }
    EXPECT_EQ(closed.Lock(0), 0);
    EXPECT_TRUE(isSet(set));
}

// A sync object whose answers the test chooses and whose calls it counts.
struct Scripted : CZolSyncObject {
    int lockResult = 1, unlockResult = 1, locks = 0, unlocks = 0;
    long lastTimeout = 0;
    Scripted() : CZolSyncObject(nullptr) {}
    int Lock(long timeout) override { return ++locks, lastTimeout = timeout, lockResult; }
    int Unlock() override { return ++unlocks, unlockResult; }
    void Trace() const override {}
};

TEST(ScopedLocks, StateFollowsTheObjectsAnswers) {
    Scripted object, refuses, failing;
    {
        CZolSingleLock lock(&object, 0);
        EXPECT_EQ(object.locks + lock.IsLocked(), 0);
        EXPECT_EQ(lock.Lock(25) + lock.Lock(30), 2);  // every call reaches the object
        EXPECT_EQ(object.lastTimeout, 30);
        EXPECT_EQ(lock.Unlock() + lock.Unlock() + lock.IsLocked(), 0);
        refuses.unlockResult = 0;
        CZolSingleLock held(&refuses, 1);
        EXPECT_EQ(refuses.lastTimeout, 0xFFFFFFFFL);
        EXPECT_EQ(held.Unlock() + held.IsLocked(), 2);  // still held: released again at the end
        failing.lockResult = 0;
        CZolSingleLock notHeld(&failing, 1);
    }
    EXPECT_EQ(object.unlocks * 100 + refuses.unlocks * 10 + failing.unlocks, 220);
    CZolSingleLock none(nullptr, 1);
    EXPECT_EQ(none.IsLocked() + none.Lock(0) + none.Unlock(), 0);
    CZolEvent event(0, 0, nullptr);
    std::thread setter([&] { event.SetEvent(); });
    CZolSingleLock onEvent(&event, 1);  // waits, and leaves the event reset
    setter.join();
    EXPECT_EQ(onEvent.IsLocked() * 10 + onEvent.Unlock(), 10);
    EXPECT_FALSE(isSet(event));

    CZolMutex missing(0, zoltest::uniqueName("none").c_str(), 1);
    CZolLightMutex light(0);
    {
        CZolLocker a(missing), b(&light), c(static_cast<CZolMutex*>(nullptr));
        EXPECT_EQ(light.Unlock() + light.Lock(0), 2);  // held by the locker
    }
    EXPECT_EQ(light.Unlock(), 0);  // released at the end of the scope
}

}  // namespace
