// The event log: syslog priority per event type, the text sent to syslog and to standard
// output, the fatal-error messages, the module object and the install path.
#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>

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

struct ReportCase {
    unsigned short type;
    const char* format;
    const char* argument;
    int priority;
    std::string expected;
};

TEST(EventLog, EachTypeGoesToSyslogWithItsPriorityAndToStandardOutput) {
    const std::vector<ReportCase> cases = {
        {1, "disk %s", "3", LOG_ERR, "disk 3\n"},
        {2, "%s", "already ends\n", LOG_WARNING, "already ends\n"},
        {3, "%s", "", LOG_INFO, "\n"},
        {7, "odd %s", "type", LOG_WARNING, "odd type\n"},
        {0, "zero %s", "type", LOG_WARNING, "zero type\n"},
        // A percent sign in the expanded text is data, never a conversion.
        {1, "%s", "50%d %s", LOG_ERR, "50%d %s\n"},
    };
    for (const ReportCase& c : cases) {
        SCOPED_TRACE(c.expected);
        g_syslogCalls.clear();
        CZolEventLog log;
        int result = 0;
        std::string out = zoltest::captureStdout(
            [&] { result = log.ZolReportEvent(c.type, c.format, c.argument); });
        EXPECT_EQ(result, 1);
        EXPECT_EQ(out, c.expected);
        ASSERT_EQ(g_syslogCalls.size(), 1u);
        EXPECT_EQ(g_syslogCalls[0].first, c.priority);
        EXPECT_EQ(g_syslogCalls[0].second, c.expected);
    }
}

TEST(EventLog, LongTextIsCutTo511CharactersBeforeTheNewline) {
    g_syslogCalls.clear();
    std::string longText(700, 'q');
    CZolEventLog log;
    std::string out =
        zoltest::captureStdout([&] { log.ZolReportEvent(3, "%s", longText.c_str()); });
    EXPECT_EQ(out, std::string(511, 'q') + "\n");
    ASSERT_EQ(g_syslogCalls.size(), 1u);
    EXPECT_EQ(g_syslogCalls[0].second, out);
}

TEST(EventLog, ReportTovErrorExpandsItsArgumentsAndReportsAnError) {
    g_syslogCalls.clear();
    int result = 0;
    std::string out = zoltest::captureStdout(
        [&] { result = CZolTovEventLog::ReportTovError("segment %d of %s", 4, "x"); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(out, "segment 4 of x\n");
    ASSERT_EQ(g_syslogCalls.size(), 1u);
    EXPECT_EQ(g_syslogCalls[0], std::make_pair(LOG_ERR, std::string("segment 4 of x\n")));
}

TEST(EventLog, SourceAndLogNamesDoNotChangeReporting) {
    g_syslogCalls.clear();
    CZolEventLog log;
    log.SetSource("MyService");
    log.SetLogFile(nullptr);
    std::string out = zoltest::captureStdout([&] { log.ZolReportEvent(2, "w"); });
    EXPECT_EQ(out, "w\n");
    ASSERT_EQ(g_syslogCalls.size(), 1u);
    EXPECT_EQ(g_syslogCalls[0], std::make_pair(LOG_WARNING, std::string("w\n")));
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
