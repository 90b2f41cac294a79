// zoltov demo: a short story of the library's typical uses, told in a few lines.
//
// 1. Two processes share a named segment (a shared-memory stream) and pace each other
//    with named events: the second process is a fork of this one that opens the segment
//    and the events by name, as an unrelated program would. Every wait is bounded.
// 2. A worker thread counts under the write side of a read-write lock while the main
//    thread reads under the read side; an event wait that times out is shown too.
// 3. Settings come from the bundled sample INI file.
//
// Robustness: SIGPIPE is ignored by main(), so a closed output (`zoltov demo | head -1`)
// only makes writes fail; SIGINT, SIGTERM and SIGHUP end the waits early. Either way the
// demo goes on to close what it opened, so no segment, event or mutex is left behind.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "CZolEvent.h"
#include "CZolIniFile.h"
#include "CZolRWLock.h"
#include "CZolRWLocker.h"
#include "CZolStreamBuffer.h"
#include "CZolStreamSharedMemory.h"
#include "CZolThread.h"
#include "CZolTime.h"
#include "ZolShmCatalog.h"
#include "ZolTool.h"

namespace zoltool {

namespace {

constexpr long kStepTimeoutMs = 10000;
constexpr long kSliceMs = 100;        // waits look at the stop flag this often
constexpr long kShortWaitMs = 50;     // the wait that is meant to time out
constexpr int kWorkerSteps = 100000;  // the worker thread's count

volatile sig_atomic_t g_stopped = 0;

extern "C" void onStopSignal(int) {
    g_stopped = 1;
}

void installStopHandlers() {
    struct sigaction sa = {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(sig, &sa, nullptr);
    }
}

// Waits for event at most timeoutMs, in slices so that a stop signal ends it early.
bool await(CZolEvent& event, long timeoutMs) {
    for (long waited = 0; waited < timeoutMs && !g_stopped; waited += kSliceMs) {
        unsigned int r = SyncWaitForSingleEvent(event, kSliceMs);
        if (r == kZolWaitObject0) {
            return true;
        }
        if (r != kZolWaitTimeout) {
            return false;
        }
    }
    return false;
}

// Prints a line of the story at once, so the two processes' lines keep their order.
__attribute__((format(printf, 1, 2))) void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

// What the parent sends: an int, a negative int, an unsigned beyond the signed range and
// a bool, 13 bytes in the stream encoding.
struct Group {
    int answer = 42;
    int offset = -7;
    unsigned int big = 4000000000u;
    bool flag = true;
};
constexpr unsigned int kGroupBytes = 4 + 4 + 4 + 1;

std::string eventName(const std::string& base, const char* what) {
    return base + "-" + what;
}

// The forked second process: opens everything by name, reads the group, closes.
int childStory(const std::string& base) {
    CZolEvent ready(0, 0, eventName(base, "ready").c_str());
    CZolEvent sent(0, 0, eventName(base, "sent").c_str());
    CZolStreamSharedMemory stream;
    if (!stream.Open(base.c_str())) {
        return kExitFailed;
    }
    say("  child %d opens the same segment by name (connections now %u) and sets 'ready'\n",
        static_cast<int>(getpid()), stream.GetConnectionsCount());
    ready.SetEvent();
    int status = kExitFailed;
    if (await(sent, kStepTimeoutMs)) {
        CZolStreamBuffer group(1, kGroupBytes);
        stream.Flush();  // read from the start of the data area
        group.Fill(stream);
        Group g;
        g.answer = g.offset = 0;
        g.big = 0;
        g.flag = false;
        group >> g.answer >> g.offset >> g.big >> g.flag;
        say("  child reads %d %d %u %s, closes its connection and sets 'ready' again\n", g.answer,
            g.offset, g.big, g.flag ? "true" : "false");
        status = kExitOk;
    }
    stream.Close();
    ready.SetEvent();
    return status;
}

// Reaps pid within timeoutMs, killing it when it overstays; true when it exited with 0.
bool reap(pid_t pid, long timeoutMs) {
    int status = 0;
    for (long waited = 0;; waited += 10) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        if ((done < 0 && errno != EINTR) || waited >= timeoutMs) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return false;
        }
        usleep(10000);
    }
}

int sharedMemoryStory(const std::string& base) {
    CZolEvent ready(0, 0, eventName(base, "ready").c_str());
    CZolEvent sent(0, 0, eventName(base, "sent").c_str());
    CZolStreamSharedMemory stream;
    if (!stream.Open(base.c_str())) {
        return fail(kExitFailed, "cannot open the segment '" + base + "'");
    }
    say("1. This process opens the segment '%s' (connections %u) and forks a child.\n",
        base.c_str(), stream.GetConnectionsCount());
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        // The child's own objects close in childStory; the parent's copies are not its own.
        _exit(childStory(base));
    }
    int status = kExitOk;
    if (pid < 0) {
        status = fail(kExitFailed, "cannot fork: " + reason());
    } else if (!await(ready, kStepTimeoutMs)) {
        status = fail(kExitFailed, "the child did not set 'ready'");
    } else {
        Group g;
        CZolStreamBuffer group(0, kGroupBytes);
        group << g.answer << g.offset << g.big << g.flag;
        stream.Flush();  // back to the start of the data area
        if (!group.Flush(stream)) {
            status = fail(kExitFailed, "the stream did not take the group");
        } else {
            say("  parent writes %d %d %u %s in one write and sets 'sent'\n", g.answer, g.offset,
                g.big, g.flag ? "true" : "false");
            sent.SetEvent();
            if (!await(ready, kStepTimeoutMs)) {
                status = fail(kExitFailed, "the child did not finish");
            }
        }
    }
    if (pid > 0 && !reap(pid, kStepTimeoutMs) && status == kExitOk) {
        status = fail(kExitFailed, "the child failed");
    }
    stream.Close();
    // Even a child killed while connected leaves nothing: its connection is taken back by
    // this last Close, which frees the segment.
    SegmentInfo left;
    if (findSegment(base, left) && status == kExitOk) {
        status = fail(kExitFailed, "the segment outlived its last user");
    }
    if (status == kExitOk) {
        say("  parent closes the last connection: the segment is freed.\n");
    }
    return status;
}

// Counts under the write lock, then sets its 'finished' event. Deletes itself on its
// own thread when it ends (m_bAutoDelete).
class Counter : public CZolThread {
public:
    Counter(CZolRWLock& lock, int& value, CZolEvent& finished)
        : m_lock(lock), m_value(value), m_finished(finished) {}
    unsigned int Run() override {
        for (int i = 0; i < kWorkerSteps && !g_stopped; ++i) {
            CZolRWLocker writer(m_lock, 1);
            ++m_value;
        }
        return 0;
    }
    int ExitInstance() override {
        m_finished.SetEvent();
        return 0;
    }

private:
    CZolRWLock& m_lock;
    int& m_value;
    CZolEvent& m_finished;
};

int threadStory() {
    CZolRWLock lock;
    int value = 0;
    CZolEvent finished(0, 1, nullptr);
    CZolEvent never(0, 0, nullptr);
    unsigned int r = SyncWaitForSingleEvent(never, kShortWaitMs);
    say("2. An event nobody sets: the wait gives up after %ld ms (result %u, timed out).\n",
        kShortWaitMs, r);
    if (!(new Counter(lock, value, finished))->CreateThread(0)) {
        return fail(kExitFailed, "cannot start the worker thread");
    }
    bool monotonic = true;
    int last = 0;
    while (SyncWaitForSingleEvent(finished, 0) != kZolWaitObject0 && !g_stopped) {
        CZolRWLocker reader(lock, 0);
        monotonic = monotonic && value >= last;
        last = value;
    }
    // Not cut short by a stop signal: the worker stops at once then, and its lock and
    // counter live on this stack.
    if (SyncWaitForSingleEvent(finished, kStepTimeoutMs) != kZolWaitObject0) {
        return fail(kExitFailed, "the worker thread did not finish");
    }
    if (g_stopped) {
        return kExitFailed;
    }
    CZolRWLocker reader(lock, 0);
    say("  a worker thread counts to %d under the write lock while this thread reads under\n"
        "  the read lock: %s\n",
        value, monotonic && value == kWorkerSteps ? "every read saw a whole step" : "WRONG");
    return monotonic && value == kWorkerSteps ? kExitOk : kExitFailed;
}

// Locates the sample settings: next to the executable in a build tree, in the data
// directory of an installation.
std::string sampleSettings() {
    const std::string dir = executableDir();
    for (const std::string& path :
         {dir + "/demo-settings.ini", dir + "/../share/zoltov/demo-settings.ini"}) {
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            return path;
        }
    }
    return std::string();
}

int settingsStory() {
    const std::string path = sampleSettings();
    CZolIniFile ini;
    if (path.empty()) {
        return fail(kExitFailed, "the sample settings demo-settings.ini are neither in " +
                                     executableDir() + " nor in its ../share/zoltov");
    }
    if (ini.ReOpen(path.c_str(), CZolIniFile::eRead) != 0) {
        return fail(kExitFailed,
                    "cannot read the sample settings '" + escaped(path) + "': " + reason());
    }
    char host[514] = {};
    int port = 0;
    long maxClients = 0;
    char search[514] = {};
    if (ini.GetSection("Server") != 0 || ini.GetItem("Host", host) != 0 ||
        ini.GetItem("Port", port) != 0 || ini.GetItem("MaxClients", maxClients) != 0 ||
        ini.GetSection("Paths") != 0 || ini.FindItem("Search", search) != 0) {
        return fail(kExitFailed, "the sample settings are incomplete");
    }
    say("3. Settings: [Server] Host %s, Port %d, MaxClients %ld; [Paths] Search is", host, port,
        maxClients);
    char* cursor = search;
    while (char* part = ini.GetValue(cursor)) {
        say(" '%s'", part);
        if (cursor <= part) {
            break;  // an open quote: the rest is one last part
        }
    }
    say(".\n");
    return kExitOk;
}

}  // namespace

int runDemo(const Invocation&) {
    installStopHandlers();
    const CZolTime start = CZolTime::GetCurTime();
    say("zoltov demo, %s\n", start.Format("%Y-%m-%d %H:%M:%S").c_str());
    const std::string base = "zoltov-demo-" + std::to_string(getpid());
    int status = sharedMemoryStory(base);
    if (status == kExitOk) {
        status = threadStory();
    }
    if (status == kExitOk) {
        status = settingsStory();
    }
    if (g_stopped) {
        return fail(kExitFailed, "stopped by a signal; everything it made is removed");
    }
    if (status == kExitOk) {
        say("Done in %ld s: nothing the demo made is left behind.\n",
            (CZolTime::GetCurTime() - start).GetTotalSeconds());
    }
    return status;
}

}  // namespace zoltool
