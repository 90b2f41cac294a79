// Events and the wait functions: auto versus manual reset, wrappers and copies that never
// close, wait-any results and the reset of the chosen event only, and named events
// shared by processes.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CZolEvent.h"
#include "ZolTestSupport.h"

namespace {

constexpr long kForever = 0xFFFFFFFFL;
constexpr unsigned int kTimedOut = 258;

bool isSet(CZolEvent& event) {
    CZolEvent probe(static_cast<long>(event));  // a wrapper: manual, so the test never resets
    return SyncWaitForSingleEvent(probe, 0) == 0;
}

struct ProbeEvent : CZolEvent {
    using CZolEvent::CZolEvent;
    using CZolEvent::operator=;
    int owns() const { return m_bOwnsHandle; }
    const char* name() const { return m_strName.c_str(); }
};

TEST(Event, AutoResetIsClearedByTheFirstSuccessfulWait) {
    std::string name = zoltest::uniqueName("auto");
    CZolEvent event(1, 0, name.c_str());
    EXPECT_EQ(event.IsManual(), 0);
    EXPECT_TRUE(isSet(event));
    EXPECT_EQ(event.Lock(kForever), 1);
    EXPECT_FALSE(isSet(event));
    EXPECT_EQ(SyncWaitForSingleEvent(event, 0), kTimedOut);
    EXPECT_EQ(event.Lock(10), 0);
}

TEST(Event, ManualResetStaysSetForAnyNumberOfWaits) {
    CZolEvent event(0, 1, nullptr);
    EXPECT_FALSE(isSet(event));
    EXPECT_EQ(event.SetEvent(), 1);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(SyncWaitForSingleEvent(event, 0), 0u);
    }
    EXPECT_EQ(event.Unlock(), 1);  // unlocking an event changes nothing
    EXPECT_TRUE(isSet(event));
    EXPECT_EQ(event.ResetEvent(), 1);
    EXPECT_EQ(SyncWaitForSingleEvent(event, 0), kTimedOut);
}

// Both wait forms wake for an auto-reset event set later by another thread, and reset it.
TEST(Event, WaitsWakeWhenAnotherThreadSets) {
    CZolEvent events[3] = {CZolEvent(0, 0, nullptr), CZolEvent(0, 0, nullptr),
                           CZolEvent(0, 0, nullptr)};
    for (bool many : {false, true}) {
        std::thread setter([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            events[2].SetEvent();
        });
        EXPECT_EQ(many ? SyncWaitForMultipleEvents(3, events, 10000)
                       : SyncWaitForSingleEvent(events[2], 10000),
                  many ? 2u : 0u);
        setter.join();
        EXPECT_FALSE(isSet(events[2]));
    }
}

TEST(Event, WrappersAndCopiesShareTheEventAndNeverCloseIt) {
    ProbeEvent owner(0, 0, "");
    EXPECT_EQ(owner.owns(), 1);
    {
        ProbeEvent wrapper(static_cast<long>(owner));
        EXPECT_EQ(wrapper.owns(), 0);
        EXPECT_EQ(wrapper.IsManual(), 1);
        EXPECT_EQ(wrapper.SetEvent(), 1);
        // A wrapper is manual reset: its waits leave the event set.
        EXPECT_EQ(wrapper.Lock(0), 1);
        EXPECT_EQ(wrapper.Lock(0), 1);
        ProbeEvent copy(owner);
        ProbeEvent copyOfCopy(copy);
        EXPECT_EQ(copy.owns(), 0);
        EXPECT_EQ(copyOfCopy.owns(), 0);
        EXPECT_EQ(copyOfCopy.IsManual(), 0);
        EXPECT_EQ(static_cast<long>(copyOfCopy), static_cast<long>(owner));
        // The copy keeps the auto-reset mode: its wait resets the shared event.
        EXPECT_EQ(copyOfCopy.Lock(0), 1);
        EXPECT_FALSE(isSet(owner));
    }
    // The owner's event survived its wrappers and copies.
    EXPECT_EQ(owner.SetEvent(), 1);
    EXPECT_EQ(owner.Lock(0), 1);
}

TEST(Event, AssignmentRefersToTheOtherEventWithoutOwningIt) {
    ProbeEvent source(0, 1, "src-name");
    ProbeEvent target(0, 0, nullptr);
    target = source;
    EXPECT_EQ(target.owns(), 0);
    EXPECT_EQ(target.IsManual(), 1);
    EXPECT_STREQ(target.name(), "src-name");
    EXPECT_EQ(static_cast<long>(target), static_cast<long>(source));
    EXPECT_EQ(target.SetEvent(), 1);
    EXPECT_TRUE(isSet(source));
}

enum Kind { kAuto, kManual };

struct WaitAnyCase {
    const char* title;
    std::vector<Kind> kinds;
    std::vector<bool> set;
    unsigned int expected;
    std::vector<bool> setAfter;
};

// Both wait-any forms over the same cases: the lowest set index wins and only that event,
// when auto reset, is reset.
TEST(WaitAny, ReturnsTheLowestSetIndexAndResetsOnlyThatEvent) {
    const std::vector<WaitAnyCase> cases = {
        {"second of three auto",
         {kAuto, kAuto, kAuto},
         {false, true, false},
         1,
         {false, false, false}},
        {"lowest of two set",
         {kManual, kAuto, kAuto},
         {false, true, true},
         1,
         {false, false, true}},
        {"manual stays set", {kManual, kAuto}, {true, true}, 0, {true, true}},
        {"none set", {kAuto, kManual}, {false, false}, kTimedOut, {false, false}},
    };
    for (bool throughPointers : {false, true}) {
        for (const WaitAnyCase& c : cases) {
            SCOPED_TRACE(std::string(c.title) + (throughPointers ? " (pointers)" : ""));
            std::vector<CZolEvent> events;
            events.reserve(c.kinds.size());
            std::vector<CZolEvent*> pointers;
            for (size_t i = 0; i < c.kinds.size(); ++i) {
                events.emplace_back(c.set[i] ? 1 : 0, c.kinds[i] == kManual ? 1 : 0, nullptr);
            }
            // emplace_back may copy while growing; the reserve above keeps the owners.
            for (CZolEvent& e : events) {
                pointers.push_back(&e);
            }
            auto count = static_cast<unsigned int>(events.size());
            unsigned int result = throughPointers
                                      ? SyncWaitForMultipleEventsPtr(count, pointers.data(), 20)
                                      : SyncWaitForMultipleEvents(count, events.data(), 20);
            EXPECT_EQ(result, c.expected);
            for (size_t i = 0; i < events.size(); ++i) {
                EXPECT_EQ(isSet(events[i]), c.setAfter[i]) << "event " << i;
            }
        }
    }
}

TEST(WaitAny, TooManyEventsIsAFailedWait) {
    std::vector<CZolEvent> events;
    events.reserve(129);
    for (int i = 0; i < 129; ++i) {
        events.emplace_back(1, 1, nullptr);
    }
    EXPECT_EQ(SyncWaitForMultipleEvents(129, events.data(), 0), 0xFFFFFFFFu);
    EXPECT_EQ(SyncWaitForMultipleEvents(128, events.data(), 0), 0u);
}

}  // namespace
