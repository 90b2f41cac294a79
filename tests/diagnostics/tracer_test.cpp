// The tracer: output formats byte for byte, the assertion's stop, Throw's exception and
// lock release, the default tracer, and the lazily created mutex under concurrent first use.
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CZolLocker.h"
#include "CZolTracer.h"
#include "ZolTestSupport.h"

namespace {

char* text(const char* s) {
    return const_cast<char*>(s);
}

// Exposes the tracer's mutex pointer.
struct ProbeTracer : CZolTracer {
    CZolMutex* mutex() const { return __atomic_load_n(&m_pMutex, __ATOMIC_ACQUIRE); }
};

// TraceLine adds an empty line; Trace writes its text unchanged, without a newline, cut at 511.
TEST(Tracer, OutputFormats) {
    CZolTracer tracer;
    EXPECT_EQ(zoltest::captureStdout([&] { tracer.TraceLine("x", "f", 7); }),
              "file: f line: 7. x\n\n");
    EXPECT_EQ(zoltest::captureStdout([&] { tracer.Trace("%d%% of %s", 50, "%s"); }), "50% of %s");
    std::string longText(600, 'z');
    EXPECT_EQ(zoltest::captureStdout([&] { tracer.Trace("%s", longText.c_str()); }),
              std::string(511, 'z'));
}

TEST(Tracer, ThrowWritesTheErrorLineAndReleasesTheLockAsTheCodeLeaves) {
    auto* tracer = new ProbeTracer;  // leaked on purpose if the lock stayed held
    unsigned int caught = 0;
    std::string out = zoltest::captureStdout([&] {
        try {
            tracer->Throw(42, text("f"), 3);
        } catch (unsigned int code) {
            caught = code;
        }
    });
    EXPECT_EQ(out, "ERROR: 'f' '3'\n");
    EXPECT_EQ(caught, 42u);

    // The mutex is recursive, so only another thread can tell whether it was released.
    std::atomic<bool> locked{false};
    std::thread other([&] {
        CZolLocker hold(tracer->mutex());
        locked = true;
    });
    bool released = zoltest::waitUntil([&] { return locked.load(); }, 5000);
    EXPECT_TRUE(released);
    if (released) {
        other.join();
        delete tracer;
    } else {
        other.detach();
    }
}

TEST(Tracer, AssertWritesOneLineAndStopsWithSigfpe) {
    zoltest::ChildOutput child = zoltest::runChildCapturingStdout(
        [] {
            CZolTracer tracer;
            tracer.Assert(text("p != 0"), text("file.cpp"), 12);
        },
        10000);
    ASSERT_NE(child.status, -1);
    ASSERT_TRUE(WIFSIGNALED(child.status));
    EXPECT_EQ(WTERMSIG(child.status), SIGFPE);
    EXPECT_EQ(child.output, "\aFAILED ASSERTION p != 0 (file.cpp  line 12)\n");
}

TEST(Tracer, SetDefaultTracerInstallsAClientTracer) {
    struct ClientTracer : CZolTracer {
        std::vector<std::string> lines;
        void TraceLine(const char* t, const char*, unsigned short) override { lines.push_back(t); }
    };
    ASSERT_EQ(CZolTracer::g_pTracer, &g_Tracer);
    ClientTracer mine;
    g_Tracer.SetDefaultTracer(&mine);
    EXPECT_EQ(CZolTracer::g_pTracer, &mine);
    CZolTracer::g_pTracer->TraceLine("through the default", "f", 1);
    EXPECT_EQ(mine.lines, std::vector<std::string>{"through the default"});
    // g_Tracer itself stays usable.
    EXPECT_EQ(zoltest::captureStdout([] { g_Tracer.TraceLine("y", "g", 2); }),
              "file: g line: 2. y\n\n");
    mine.SetDefaultTracer(&g_Tracer);
    EXPECT_EQ(CZolTracer::g_pTracer, &g_Tracer);
}

// Many threads make their first call on a fresh tracer at once: one mutex must result
// (the one the tracer keeps); a lost one shows up in the leak-checking sanitizer builds.
TEST(Tracer, ConcurrentFirstCallsCreateExactlyOneMutex) {
    constexpr int kThreads = 8;
    for (int round = 0; round < 50; ++round) {
        ProbeTracer tracer;
        std::atomic<int> ready{0};
        std::vector<CZolMutex*> seen(kThreads, nullptr);
        std::vector<std::thread> threads;
        std::string out = zoltest::captureStdout([&] {
            for (int i = 0; i < kThreads; ++i) {
                threads.emplace_back([&, i] {
                    ready.fetch_add(1);
                    while (ready.load() < kThreads) {
                        std::this_thread::yield();
                    }
                    tracer.Trace("%c", 'a' + i);
                    seen[i] = tracer.mutex();
                });
            }
            for (std::thread& t : threads) {
                t.join();
            }
        });
        ASSERT_EQ(out.size(), static_cast<size_t>(kThreads));
        ASSERT_NE(tracer.mutex(), nullptr);
        for (CZolMutex* m : seen) {
            ASSERT_EQ(m, tracer.mutex());
        }
    }
}

}  // namespace
