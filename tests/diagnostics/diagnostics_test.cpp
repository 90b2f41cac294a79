// Diagnostics: trace, assertion and exception; the tracer and the event log byte for byte,
// syslog priorities, the fatal-error report, and fork while other threads are inside the
// tracer and the event log.
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "CZolEvent.h"
#include "CZolException.h"
#include "CZolLightMutex.h"
#include "CZolModule.h"
#include "CZolMutex.h"
#include "CZolTovEventLog.h"
#include "CZolTracer.h"
#include "ZolTestSupport.h"
#include "ZolTrace.h"

// The library's syslog calls resolve to these (the checking variant where the library is
// built with _FORTIFY_SOURCE), which record what syslog would have logged.
std::vector<std::pair<int, std::string>> g_syslogCalls;
static void recordSyslog(int priority, const char* format, va_list args) {
    char text[2048];
    vsnprintf(text, sizeof text, format, args);
    if (g_syslogCalls.size() < 64)
        g_syslogCalls.emplace_back(priority, text);
}
extern "C" void syslog(int priority, const char* format, ...) {
    va_list args;
    va_start(args, format);
    recordSyslog(priority, format, args);
    va_end(args);
}
extern "C" void __syslog_chk(int priority, int, const char* format, ...) {
    va_list args;
    va_start(args, format);
    recordSyslog(priority, format, args);
    va_end(args);
}

namespace {

char* text(const char* s) {
    return const_cast<char*>(s);
}
struct ProbeTracer : CZolTracer {
    CZolMutex* mutex() const { return __atomic_load_n(&m_pMutex, __ATOMIC_ACQUIRE); }
};

TEST(Trace, PlainTextLinesTracerFormatsAndThrowsThatCarryTheirCode) {
    const std::pair<std::string, std::string> cases[] = {
        {"100% sure %d", "100% sure %d\n"},
        {"ends\n", "ends\n\n"},
        {std::string(1000, 'x'), std::string(510, 'x') + "\n"},  // the newline fits the buffer
    };
    for (const auto& c : cases) {
        int result = 0;
        EXPECT_EQ(zoltest::captureStdout([&] { result = __ZolTrace("%s", c.first.c_str()); }),
                  c.second);
        EXPECT_EQ(result, static_cast<int>(c.second.size()));
    }
    EXPECT_EQ(CZolException::RiseZolTovException(0, text("f"), 1), 0u);
    EXPECT_THROW(CZolException::RiseZolTovException(5, text("f"), 1), CZolException);
    ProbeTracer tracer;
    unsigned int caught = 0;
    const std::pair<std::function<void()>, std::string> tracerCases[] = {
        {[&] { tracer.TraceLine("x", "f", 7); }, "file: f line: 7. x\n\n"},
        {[&] { tracer.Trace("%d%% of %s", 50, "%s"); }, "50% of %s"},
        {[&] { tracer.Trace("%s", std::string(600, 'z').c_str()); }, std::string(511, 'z')},
        {[&] {
             try {
                 tracer.Throw(42, text("f"), 3);
             } catch (unsigned int code) {
                 caught = code;
             }
         },
         "ERROR: 'f' '3'\n"},
    };
    for (const auto& c : tracerCases)
        EXPECT_EQ(zoltest::captureStdout(c.first), c.second);
    EXPECT_EQ(caught, 42u);
    // The mutex is recursive: only another thread can tell that Throw released it.
    EXPECT_EQ(zoltest::onOtherThread([&] {
                  return zoltest::Results({tracer.mutex()->Lock(2000), tracer.mutex()->Unlock()});
              }),
              zoltest::Results({1, 1}));
}

// One BEL line on standard output, then SIGFPE (death-test output is matched on stderr). The
// tracer's line has two blanks before "line", the macro's one.
TEST(AssertDeathTest, WritesOneBelLineThenStopsWithSigfpe) {
    EXPECT_EXIT((dup2(2, 1), ZOL_ASSERT(1 + 1 == 3)), testing::KilledBySignal(SIGFPE),
                "^\aFAILED ASSERTION 1 \\+ 1 == 3 \\(.*diagnostics_test.cpp line [0-9]+\\)\n$");
    EXPECT_EXIT((dup2(2, 1), __ZolAssert(text("this"), text("f.cpp"), 12)),
                testing::KilledBySignal(SIGFPE), "^\aFAILED ASSERTION this \\(f.cpp line 12\\)\n$");
    EXPECT_EXIT((dup2(2, 1), CZolTracer().Assert(text("p"), text("f.cpp"), 12)),
                testing::KilledBySignal(SIGFPE), "^\aFAILED ASSERTION p \\(f.cpp  line 12\\)\n$");
}

TEST(EventLog, EachTypeGoesToSyslogWithItsPriorityAndToStandardOutput) {
    CZolEventLog log;
    log.SetLogFile(nullptr);
    const struct {
        std::function<int()> call;
        int priority;
        std::string expected;
    } cases[] = {
        {[&] { return log.ZolReportEvent(1, "disk %s", "3"); }, LOG_ERR, "disk 3\n"},
        {[&] { return log.ZolReportEvent(2, "%s", "ends\n"); }, LOG_WARNING, "ends\n"},
        {[&] { return log.ZolReportEvent(3, "%s", ""); }, LOG_INFO, "\n"},
        {[&] { return log.ZolReportEvent(7, "odd"); }, LOG_WARNING, "odd\n"},
        {[&] { return log.ZolReportEvent(3, "%s", std::string(700, 'q').c_str()); }, LOG_INFO,
         std::string(511, 'q') + "\n"},
        {[] { return CZolTovEventLog::ReportTovError("seg %d of %s", 4, "x%d"); }, LOG_ERR,
         "seg 4 of x%d\n"},
    };
    for (const auto& c : cases) {
        g_syslogCalls.clear();
        int result = 0;
        EXPECT_EQ(zoltest::captureStdout([&] { result = c.call(); }), c.expected);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(g_syslogCalls,
                  (std::vector<std::pair<int, std::string>>{{c.priority, c.expected}}));
    }
    EXPECT_STREQ(zolTovGetVolumarPath().c_str(), "/opt/zol/bin/");
}

// The light mutex's fatal report (the other classes' are driven for real by the exhaustion
// tests): the fixed message, once, and status 1.
TEST(FatalError, ReportsTheFixedMessageAndExitsWithStatusOne) {
    int code = -1;
    const std::string out = zoltest::captureStdout([&] {
        code = zoltest::runChild([] { return CZolLightMutex(0).reportFatalError(), 0; }, 10000);
    });
    EXPECT_EQ(code, 1);
    EXPECT_EQ(out, "Unable to create mutex; possibly not root or insufficient resources\n");
}

// Children forked while other threads are inside the tracer and the event log trace and
// report at once (a lock copied held into the child would hang it).
TEST(Fork, ChildTracesAndReportsWhileOtherThreadsAreInside) {
    auto forking = [] {
        dup2(open("/dev/null", O_WRONLY), 1);
        std::atomic<bool> stop{false};
        std::thread busy([&] {
            while (!stop) {
                g_Tracer.Trace("%s", std::string(400, 't').c_str());
                CZolTovEventLog::ReportTovError("%s", std::string(400, 'e').c_str());
            }
        });
        auto child = [] {
            g_Tracer.TraceLine("child", "f", 1);
            return CZolTovEventLog::ReportTovError("child") == 1 ? 0 : 1;
        };
        int hung = 0;
        for (int i = 0; i < 40 && hung == 0; ++i)
            hung = zoltest::runChild(child, 5000);
        stop = true;
        busy.join();
        return hung;
    };
    EXPECT_EQ(zoltest::runChild(forking, 60000), 0);
}

// A process that exits while threads of its own still trace and make, use and close named
// objects exits cleanly (nothing it frees or unmaps on the way out is still in use) and
// leaves no file. Its standard input and error are closed and stay so: a file of the store
// that took their numbers would get the process's reads and error output.
TEST(Exit, WhileOtherThreadsTraceAndUseNamedObjects) {
    const std::string name = zoltest::uniqueName("exit");
    auto exiting = [&] {
        dup2(open("/dev/null", O_WRONLY), 1), close(0), close(2);
        CZolMutex kept(0, (name + "-kept").c_str(), 0);
        const bool stayClosed = fcntl(0, F_GETFD) == -1 && fcntl(2, F_GETFD) == -1;
        for (int thread = 0; thread < 3; ++thread) {
            std::thread([&] {
                for (;; g_Tracer.Trace("%s", "t")) {
                    CZolEvent event(0, 0, name.c_str());
                    CZolMutex mutex(1, name.c_str(), 0);
                    event.SetEvent(), mutex.Unlock();
                }
            }).detach();
        }
        usleep(5000);
        exit(stayClosed ? 0 : 1);
        return 1;
    };
    // The faults this looks for show in a few exits in a hundred; under ThreadSanitizer an
    // exit takes about a second, and fewer are made.
    int failed = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 150 && zoltest::elapsedMs(start) < 8000 && failed == 0; ++i)
        failed = zoltest::runChild(exiting, 5000);
    EXPECT_EQ(failed, 0);
    // What a killed child left goes with these closes.
    CZolMutex(0, name.c_str(), 0), CZolEvent(0, 0, name.c_str());
    CZolMutex(0, (name + "-kept").c_str(), 0);
    EXPECT_EQ(zoltest::objectFiles(name), std::vector<std::string>());
}

}  // namespace
