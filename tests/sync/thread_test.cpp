// Threads: the suspended start, the order of the virtuals in a client-derived class,
// InitInstance returning 0, ExitThread, the end event, auto delete on and off,
// ZolBeginThread, and repeated start/stop cycles that leave nothing behind.
#include <dirent.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CZolThread.h"
#include "ZolTestSupport.h"

namespace {

// What a thread did, kept outside the object because the object may delete itself.
struct Record {
    std::atomic<int> initCalls{0};
    std::atomic<int> runResult{-1};
    std::atomic<int> idleCalls{0};
    std::atomic<int> exitInstanceCalls{0};
    std::atomic<int> destroyed{0};
    std::atomic<bool> ended{false};  // after ExitInstance
};

// A client thread class overriding every virtual.
class ClientThread : public CZolThread {
public:
    ClientThread(Record& record, int initResult = 1) : record_(record), initResult_(initResult) {}
    ~ClientThread() override { ++record_.destroyed; }
    unsigned int Run() override {
        unsigned int code = CZolThread::Run();
        record_.runResult = static_cast<int>(code);
        return code;
    }
    int InitInstance() override {
        ++record_.initCalls;
        return initResult_;
    }
    int ExitInstance() override {
        ++record_.exitInstanceCalls;
        record_.ended = true;
        return 0;
    }
    void OnIdle() override {
        ++record_.idleCalls;
        std::this_thread::yield();
    }

private:
    Record& record_;
    int initResult_;
};

bool ended(Record& r) {
    return zoltest::waitUntil([&] { return r.ended.load(); }, 10000);
}

// Started suspended with InitInstance returning 0: nothing runs until resumed, then Run is
// skipped but ExitInstance is not, and the object deletes itself: turning auto delete off
// after the start is too late, the thread copied the flag.
TEST(Thread, SuspendedStartAndInitInstanceZero) {
    Record record;
    auto* thread = new ClientThread(record, 0);
    ASSERT_EQ(thread->CreateThread(1), 1);
    thread->m_bAutoDelete = 0;
    EXPECT_FALSE(zoltest::waitUntil([&] { return record.initCalls.load() != 0; }, 100));
    EXPECT_EQ(thread->ResumeThread(), 1);
    ASSERT_TRUE(ended(record));
    EXPECT_EQ(record.initCalls.load(), 1);
    EXPECT_EQ(record.runResult.load(), -1);
    EXPECT_EQ(record.idleCalls.load(), 0);
    EXPECT_EQ(record.exitInstanceCalls.load(), 1);
    EXPECT_TRUE(zoltest::waitUntil([&] { return record.destroyed.load() == 1; }, 10000));
}

// The end event stays set and does not stop the base Run; with auto delete off, the object
// outlives its thread.
TEST(Thread, EndEventStaysSetAndAKeptObjectOutlivesItsThread) {
    Record record;
    auto* thread = new ClientThread(record);
    thread->m_bAutoDelete = 0;
    ASSERT_EQ(thread->CreateThread(0), 1);
    EXPECT_EQ(thread->EndThread(), 1);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(SyncWaitForSingleEvent(thread->m_evEnd, 0), 0u);
    }
    EXPECT_FALSE(zoltest::waitUntil([&] { return record.ended.load(); }, 50));
    thread->ExitThread(0);
    ASSERT_TRUE(ended(record));
    EXPECT_FALSE(zoltest::waitUntil([&] { return record.destroyed.load() != 0; }, 50));
    delete thread;
    EXPECT_EQ(record.destroyed.load(), 1);
}

TEST(Thread, ZolBeginThreadSetsThePriorityAndReturnsTheObject) {
    Record record;
    auto* thread = new ClientThread(record);
    thread->m_bAutoDelete = 0;
    EXPECT_EQ(ZolBeginThread(thread, -3, 0), thread);
    EXPECT_EQ(thread->GetThreadPriority(), -3);
    ASSERT_TRUE(zoltest::waitUntil([&] { return record.idleCalls.load() > 0; }, 10000));
    thread->ExitThread(0);
    ASSERT_TRUE(ended(record));
    delete thread;

    // A thread that ends at once and deletes itself must not be used after it is gone
    // (the sanitizer builds catch a use after free here).
    for (int i = 0; i < 20; ++i) {
        Record quick;
        auto* q = new ClientThread(quick, 0);
        EXPECT_EQ(ZolBeginThread(q, -1, 0), q);
        ASSERT_TRUE(zoltest::waitUntil([&] { return quick.destroyed.load() == 1; }, 10000));
    }
}

TEST(Thread, NeverStartedThreadIsDestroyedCleanly) {
    Record record;
    { ClientThread idle(record); }
    EXPECT_EQ(record.destroyed.load(), 1);
    EXPECT_EQ(record.initCalls.load(), 0);
}

int countEntries(const char* directory) {
    int count = 0;
    if (DIR* d = opendir(directory)) {
        while (readdir(d) != nullptr) {
            ++count;
        }
        closedir(d);
    }
    return count;
}

// 1,000 threads started and stopped one after another: each object deleted once, and the
// process ends with the threads and descriptors it had before.
TEST(Thread, ThousandStartStopCyclesLeaveNothingBehind) {
    auto cycle = [](int i) {
        Record record;
        auto* thread = new ClientThread(record);
        EXPECT_EQ(thread->CreateThread(0), 1) << "cycle " << i;
        thread->ExitThread(static_cast<unsigned int>(i));
        bool deleted = zoltest::waitUntil([&] { return record.destroyed.load() == 1; }, 10000);
        EXPECT_TRUE(deleted) << "cycle " << i;
        // ExitThread makes the base Run return the code; each hook ran once.
        EXPECT_EQ(record.runResult.load(), i);
        EXPECT_EQ(record.initCalls.load(), 1);
        EXPECT_EQ(record.exitInstanceCalls.load(), 1);
        return deleted;
    };
    // One cycle first, so that anything started once per process (a sanitizer's helper
    // thread, the platform's signal set-up) is part of the baseline.
    ASSERT_TRUE(cycle(0));
    int tasksBefore = countEntries("/proc/self/task");
    int fdsBefore = countEntries("/proc/self/fd");
    for (int i = 1; i <= 1000; ++i) {
        ASSERT_TRUE(cycle(i));
    }
    EXPECT_TRUE(
        zoltest::waitUntil([&] { return countEntries("/proc/self/task") <= tasksBefore; }, 10000));
    EXPECT_EQ(countEntries("/proc/self/fd"), fdsBefore);
}

}  // namespace
