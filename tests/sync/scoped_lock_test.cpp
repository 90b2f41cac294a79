// CZolSingleLock and CZolLocker: which calls reach the object, and the state they keep.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "CZolEvent.h"
#include "CZolLocker.h"
#include "CZolSingleLock.h"
#include "ZolCountingMutex.h"
#include "ZolTestSupport.h"

namespace {

// A sync object whose answers the test chooses and whose calls it counts.
struct Scripted : CZolSyncObject {
    int lockResult = 1;
    int unlockResult = 1;
    int locks = 0;
    int unlocks = 0;
    long lastTimeout = 0;
    Scripted() : CZolSyncObject(nullptr) {}
    int Lock(long timeout) override {
        ++locks;
        lastTimeout = timeout;
        return lockResult;
    }
    int Unlock() override {
        ++unlocks;
        return unlockResult;
    }
    void Trace() const override {}
};

TEST(SingleLock, StateFollowsTheObjectsAnswers) {
    Scripted object;
    {
        CZolSingleLock lock(&object, 0);
        EXPECT_EQ(object.locks, 0);
        EXPECT_EQ(lock.IsLocked(), 0);
        EXPECT_EQ(lock.Lock(25), 1);
        EXPECT_EQ(object.lastTimeout, 25);
        EXPECT_EQ(lock.Lock(30), 1);  // not short-circuited when already held
        EXPECT_EQ(object.locks, 2);
        EXPECT_EQ(lock.Unlock(), 0);
        EXPECT_EQ(lock.IsLocked(), 0);
        EXPECT_EQ(lock.Unlock(), 0);  // reaches the object even when not held
        EXPECT_EQ(object.unlocks, 2);
    }
    EXPECT_EQ(object.unlocks, 2);  // not held at destruction: no further unlock
}

// The destructor unlocks only a lock it holds: again after a refused Unlock, never after a
// failed Lock.
TEST(SingleLock, DestructorReleasesOnlyAHeldLock) {
    Scripted refusesUnlock;
    refusesUnlock.unlockResult = 0;
    {
        CZolSingleLock lock(&refusesUnlock, 1);
        EXPECT_EQ(refusesUnlock.lastTimeout, 0xFFFFFFFFL);
        EXPECT_EQ(lock.Unlock(), 1);
        EXPECT_EQ(lock.IsLocked(), 1);
    }
    EXPECT_EQ(refusesUnlock.unlocks, 2);
    Scripted refusesLock;
    refusesLock.lockResult = 0;
    { CZolSingleLock lock(&refusesLock, 1); }
    EXPECT_EQ(refusesLock.locks, 1);
    EXPECT_EQ(refusesLock.unlocks, 0);
}

TEST(SingleLock, NullObjectIsNeverLocked) {
    CZolSingleLock lock(nullptr, 1);
    EXPECT_EQ(lock.IsLocked(), 0);
    EXPECT_EQ(lock.Lock(0), 0);
    EXPECT_EQ(lock.Unlock(), 0);
}

TEST(SingleLock, OnAnAutoResetEventWaitsForItAndLeavesItReset) {
    CZolEvent event(0, 0, nullptr);
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        event.SetEvent();
    });
    CZolSingleLock lock(&event, 1);
    setter.join();
    EXPECT_EQ(lock.IsLocked(), 1);
    EXPECT_EQ(SyncWaitForSingleEvent(event, 0), 258u);  // reset by the wait
    EXPECT_EQ(lock.Unlock(), 0);
    EXPECT_EQ(lock.IsLocked(), 0);
}

TEST(Locker, LocksForTheScopeAndUnlocksEvenAfterAFailedLock) {
    zoltest::CountingMutex mutex(zoltest::uniqueName("none").c_str());
    {
        CZolLocker locker(mutex);
        EXPECT_EQ(mutex.locks.load(), 1);
        EXPECT_EQ(mutex.unlocks.load(), 0);
    }
    EXPECT_EQ(mutex.unlocks.load(), 1);
    { CZolLocker nothing(static_cast<CZolMutex*>(nullptr)); }
    { CZolLocker nothing(static_cast<CZolLightMutex*>(nullptr)); }
    EXPECT_EQ(mutex.locks.load(), 1);
    EXPECT_EQ(mutex.unlocks.load(), 1);
}

TEST(Locker, HoldsALightMutexAgainstOtherThreads) {
    CZolLightMutex mutex(0);
    std::atomic<bool> entered{false};
    std::thread other;
    {
        CZolLocker locker(&mutex);
        other = std::thread([&] {
            CZolLocker inner(mutex);
            entered = true;
        });
        EXPECT_FALSE(zoltest::waitUntil([&] { return entered.load(); }, 50));
    }
    EXPECT_TRUE(zoltest::waitUntil([&] { return entered.load(); }, 5000));
    other.join();
}

}  // namespace
