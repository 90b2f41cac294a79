// Mutexes: ownership between threads, opening existing names (the cross-process side is
// covered by the platform tests), the light mutex's unlimited wait, and the base class's defaults.
#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "CZolLightMutex.h"
#include "CZolMutex.h"
#include "ZolTestSupport.h"

namespace {

// Whether another thread can take the mutex without waiting (and releases it again).
bool freeForAnotherThread(CZolSyncObject& mutex) {
    int got = -1;
    std::thread other([&] {
        got = mutex.Lock(0);
        if (got) {
            mutex.Unlock();
        }
    });
    other.join();
    return got == 1;
}

struct ProbeMutex : CZolMutex {
    using CZolMutex::CZolMutex;
    const CZolString& name() const { return m_strName; }
};

TEST(Mutex, OwnershipBelongsToTheLockingThread) {
    ProbeMutex unnamed(0, nullptr, 0);
    EXPECT_NE(static_cast<long>(unnamed), 0);
    EXPECT_TRUE(unnamed.name().IsEmpty());
    EXPECT_TRUE(freeForAnotherThread(unnamed)) << "created unowned";

    std::string name = zoltest::uniqueName("owned");
    CZolMutex mutex(1, name.c_str(), 0);
    EXPECT_FALSE(freeForAnotherThread(mutex)) << "initially owned by the constructing thread";
    // Unlock by a thread that does not own it fails and changes nothing.
    int foreignUnlock = -1;
    std::thread([&] { foreignUnlock = mutex.Unlock(); }).join();
    EXPECT_EQ(foreignUnlock, 0);
    EXPECT_FALSE(freeForAnotherThread(mutex));
    EXPECT_EQ(mutex.Unlock(), 1);
    EXPECT_TRUE(freeForAnotherThread(mutex));
    EXPECT_EQ(mutex.Lock(0xFFFFFFFF), 1);
    EXPECT_FALSE(freeForAnotherThread(mutex));
    EXPECT_EQ(mutex.Unlock(), 1);
}

TEST(Mutex, OpenExistingSharesTheMutexWithoutTakingIt) {
    std::string name = zoltest::uniqueName("open");
    CZolMutex creator(0, name.c_str(), 0);
    CZolMutex opener(1, name.c_str(), 1);  // initially-owned is ignored when opening
    ASSERT_NE(static_cast<long>(opener), 0);
    EXPECT_TRUE(freeForAnotherThread(creator));
    // One mutex behind both objects.
    ASSERT_EQ(opener.Lock(0), 1);
    EXPECT_FALSE(freeForAnotherThread(creator));
    EXPECT_EQ(opener.Unlock(), 1);
}

TEST(Mutex, OpeningAnUnknownNameGivesHandleZeroQuietly) {
    std::string out = zoltest::captureStdout([] {
        CZolMutex missing(0, zoltest::uniqueName("missing").c_str(), 1);
        EXPECT_EQ(static_cast<long>(missing), 0);
        EXPECT_EQ(missing.Lock(0), 0);
        EXPECT_EQ(missing.Unlock(), 0);
        missing.Trace();
    });
    EXPECT_EQ(out, "");
}

TEST(LightMutex, WaitsWithoutLimitWhateverTheTimeout) {
    CZolLightMutex mutex(1);
    std::atomic<int> got{-1};
    std::thread other([&] {
        got = mutex.Lock(0);
        mutex.Unlock();
    });
    // Lock(0) of a held light mutex blocks instead of failing at once.
    EXPECT_FALSE(zoltest::waitUntil([&] { return got.load() != -1; }, 100));
    EXPECT_EQ(mutex.Unlock(), 1);
    EXPECT_TRUE(zoltest::waitUntil([&] { return got.load() == 1; }, 5000));
    other.join();
}

TEST(SyncObject, BaseUnlockFailsAndNameIsKept) {
    struct Minimal : CZolSyncObject {
        Minimal(const char* n) : CZolSyncObject(n) {}
        int Lock(long) override { return 1; }
        void Trace() const override {}
        const char* name() const { return m_strName.c_str(); }
    };
    Minimal named("abc");
    Minimal unnamed(nullptr);
    EXPECT_EQ(named.Unlock(), 0);
    EXPECT_STREQ(named.name(), "abc");
    EXPECT_STREQ(unnamed.name(), "");
}

}  // namespace
