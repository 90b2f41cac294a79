// The event log: syslog priority per event type, the text sent to syslog and to standard
// output, the fatal-error messages, the module object and the install path.
#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "CZolEvent.h"
#include "CZolLightMutex.h"
#include "CZolModule.h"
#include "CZolMutex.h"
#include "CZolTovEventLog.h"
#include "ZolTestSupport.h"

// The library's syslog calls resolve to these definitions in the test program, which
// record the priority and the message as syslog would have formatted it.
namespace {
std::vector<std::pair<int, std::string>> g_syslogCalls;

void recordSyslog(int priority, const char* format, va_list args) {
    char text[2048];
    vsnprintf(text, sizeof text, format, args);
    g_syslogCalls.emplace_back(priority, text);
}
}  // namespace

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

// Sends one report: whatever it writes to standard output, and the syslog calls it made.
struct Reported {
    int result;
    std::string out;
    std::vector<std::pair<int, std::string>> syslog;
};
Reported report(const std::function<int()>& call) {
    g_syslogCalls.clear();
    Reported r{0, "", {}};
    r.out = zoltest::captureStdout([&] { r.result = call(); });
    r.syslog = g_syslogCalls;
    return r;
}

TEST(EventLog, EachTypeGoesToSyslogWithItsPriorityAndToStandardOutput) {
    const std::string longText(700, 'q');
    CZolEventLog named;
    named.SetSource("MyService");  // source and log names change nothing in the reporting
    named.SetLogFile(nullptr);
    struct Case {
        std::function<int()> call;
        int priority;
        std::string expected;
    };
    CZolEventLog log;
    const Case cases[] = {
        {[&] { return log.ZolReportEvent(1, "disk %s", "3"); }, LOG_ERR, "disk 3\n"},
        {[&] { return log.ZolReportEvent(2, "%s", "already ends\n"); }, LOG_WARNING,
         "already ends\n"},
        {[&] { return log.ZolReportEvent(3, "%s", ""); }, LOG_INFO, "\n"},
        {[&] { return log.ZolReportEvent(7, "odd %s", "type"); }, LOG_WARNING, "odd type\n"},
        {[&] { return log.ZolReportEvent(0, "zero %s", "type"); }, LOG_WARNING, "zero type\n"},
        // A percent sign in the expanded text is data, never a conversion.
        {[&] { return log.ZolReportEvent(1, "%s", "50%d %s"); }, LOG_ERR, "50%d %s\n"},
        // Long text is cut to 511 characters before the newline.
        {[&] { return log.ZolReportEvent(3, "%s", longText.c_str()); }, LOG_INFO,
         std::string(511, 'q') + "\n"},
        {[&] { return named.ZolReportEvent(2, "w"); }, LOG_WARNING, "w\n"},
        {[] { return CZolTovEventLog::ReportTovError("segment %d of %s", 4, "x"); }, LOG_ERR,
         "segment 4 of x\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected.substr(0, 20));
        Reported r = report(c.call);
        EXPECT_EQ(r.result, 1);
        EXPECT_EQ(r.out, c.expected);
        EXPECT_EQ(r.syslog, (std::vector<std::pair<int, std::string>>{{c.priority, c.expected}}));
    }
}

TEST(Module, InstallPathAndLoadTimeObjects) {
    EXPECT_STREQ(zolTovGetVolumarPath().c_str(), "/opt/zol/bin/");
    // The load-time objects exist and are usable from the client's first call.
    CZolModule* module = &theModule;
    EXPECT_NE(dynamic_cast<CZolModule*>(module), nullptr);
    std::string out = zoltest::captureStdout(
        [] { CZolTovEventLog::m_ZolTovEventLog.ZolReportEvent(3, "loaded"); });
    EXPECT_EQ(out, "loaded\n");
}

// Each class that cannot create its platform object reports a fixed message and ends the
// process with status 1. The child calls reportFatalError directly so the message is
// checked whatever the platform can create; it is written exactly once either way.
struct FatalCase {
    const char* name;
    void (*fail)();
    const char* message;
};

TEST(FatalError, ReportsTheFixedMessageAndExitsWithStatusOne) {
    const std::vector<FatalCase> cases = {
        {"mutex",
         [] {
             CZolMutex opened(0, zoltest::uniqueName("never-created").c_str(), 1);
             opened.reportFatalError();
         },
         "Unable to create mutex; possibly not root or insufficient resources\n"},
        {"light mutex",
         [] {
             CZolLightMutex mutex(0);
             mutex.reportFatalError();
         },
         "Unable to create mutex; possibly not root or insufficient resources\n"},
        {"event",
         [] {
             CZolEvent event(0, 0, nullptr);
             event.reportFatalError();
         },
         "Unable to create event; possibly not root or insufficient resources\n"},
    };
    for (const FatalCase& c : cases) {
        SCOPED_TRACE(c.name);
        zoltest::ChildOutput child = zoltest::runChildCapturingStdout(c.fail, 10000);
        EXPECT_EQ(zoltest::exitCodeOf(child.status), 1);
        EXPECT_EQ(child.output, c.message);
    }
}

}  // namespace
