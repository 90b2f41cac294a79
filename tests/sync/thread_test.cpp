// Threads: the suspended start, InitInstance returning 0, ExitThread, the end event, auto
// delete on and off, ZolBeginThread, and every way a thread body can end.
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <functional>
#include <stdexcept>

#include <gtest/gtest.h>

#include "CZolThread.h"
#include "ZolTestSupport.h"

namespace {

// What a thread did, kept outside the object because the object may delete itself.
struct Record {
    std::atomic<int> inits{0}, idles{0}, exits{0}, destroyed{0}, runResult{-1};
};

class ClientThread : public CZolThread {
public:
    explicit ClientThread(Record& r, int init = 1, std::function<void()> run = nullptr,
                          std::function<void()> atExit = nullptr)
        : r_(r), init_(init), run_(std::move(run)), atExit_(std::move(atExit)) {}
    ~ClientThread() override { ++r_.destroyed; }
    unsigned int Run() override {
        if (run_) {
            run_();
        }
        unsigned int code = CZolThread::Run();
        return r_.runResult = static_cast<int>(code), code;
    }
    int InitInstance() override { return ++r_.inits, init_; }
    int ExitInstance() override {
        ++r_.exits;
        if (atExit_) {
            atExit_();
        }
        return 0;
    }
    void OnIdle() override { ++r_.idles; }

private:
    Record& r_;
    int init_;
    std::function<void()> run_, atExit_;
};

bool destroyed(Record& r) {
    return zoltest::waitUntil([&] { return r.destroyed == 1; }, 10000);
}

// Suspended start with InitInstance 0: nothing runs until resumed, then Run is skipped,
// ExitInstance is not, and auto delete happens (turning it off after the start is too late).
TEST(Thread, StartStopAndAutoDelete) {
    Record r;
    auto* thread = new ClientThread(r, 0);
    ASSERT_EQ(thread->CreateThread(1), 1);
    thread->m_bAutoDelete = 0;
    EXPECT_FALSE(zoltest::waitUntil([&] { return r.inits != 0; }, 100));
    EXPECT_EQ(thread->ResumeThread(), 1);
    ASSERT_TRUE(destroyed(r));
    EXPECT_EQ(r.inits * 100 + r.exits * 10 + r.idles, 110);
    EXPECT_EQ(r.runResult, -1);

    // The end event stays set and does not stop the base Run; a kept object outlives its thread.
    Record kept;
    auto* mine = new ClientThread(kept);
    mine->m_bAutoDelete = 0;
    EXPECT_EQ(ZolBeginThread(mine, -3, 0), mine);
    EXPECT_EQ(mine->GetThreadPriority(), -3);
    EXPECT_EQ(mine->EndThread(), 1);
    EXPECT_EQ(SyncWaitForSingleEvent(mine->m_evEnd, 0) + SyncWaitForSingleEvent(mine->m_evEnd, 0),
              0u);
    EXPECT_FALSE(zoltest::waitUntil([&] { return kept.exits != 0; }, 50));
    mine->ExitThread(7);
    ASSERT_TRUE(zoltest::waitUntil([&] { return kept.exits == 1; }, 10000));
    EXPECT_EQ(kept.runResult, 7);
    EXPECT_GT(kept.idles, 0);
    EXPECT_FALSE(zoltest::waitUntil([&] { return kept.destroyed != 0; }, 50));
    delete mine;

    // A thread that ends at once and deletes itself is not touched after it is gone (the
    // sanitizer builds catch a use after free); one never started is destroyed cleanly.
    for (int i = 0; i < 20; ++i) {
        Record quick;
        auto* q = new ClientThread(quick, 0);
        EXPECT_EQ(ZolBeginThread(q, -1, 0), q);
        ASSERT_TRUE(destroyed(quick));
    }
    Record never;
    { ClientThread idle(never); }
    EXPECT_EQ(never.destroyed * 10 + never.inits, 10);
}

// pthread_exit from the body still ends the thread in order (ExitInstance once, auto delete).
TEST(Thread, PthreadExitFromTheBodyLeavesNothingBehind) {
    const std::pair<std::function<void()>, std::function<void()>> cases[] = {
        {[] { pthread_exit(nullptr); }, nullptr},  // from Run
        {nullptr, [] { pthread_exit(nullptr); }},  // from ExitInstance
    };
    for (const auto& c : cases) {
        Record r;
        auto* thread = new ClientThread(r, 1, c.first, c.second);
        thread->ExitThread(0);
        ASSERT_EQ(thread->CreateThread(0), 1);
        ASSERT_TRUE(destroyed(r));
        EXPECT_EQ(r.exits, 1);
    }
}

// An exception ends the process with the library's message naming the thread; exit() ends it
// with its own status.
TEST(ThreadDeathTest, ExceptionsAndExitEndTheProcess) {
    auto startWith = [](std::function<void()> run) {
        static Record r;
        (new ClientThread(r, 1, std::move(run)))->CreateThread(0);
        pause();
    };
    EXPECT_EXIT(startWith([] { throw std::runtime_error("boom"); }),
                testing::KilledBySignal(SIGABRT),
                "uncaught exception in InitInstance or Run of thread [0-9]+ \\(.*ClientThread at "
                "0x[0-9a-f]+\\): boom");
    EXPECT_EXIT(startWith([] { exit(3); }), testing::ExitedWithCode(3), "");
}

}  // namespace
