// Helpers shared by the test suites: unique names, forked children and peers with bounded
// waits, one way to exec a program, captured standard output and temporary directories.
#ifndef ZOLTOV_TESTS_ZOLTESTSUPPORT_H
#define ZOLTOV_TESTS_ZOLTESTSUPPORT_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zoltest {

// The bound of every wait for a set-up step: generous, only there so that nothing hangs.
constexpr int kBoundMs = 20000;

// The results of several calls in call order (a braced list runs left to right), compared at
// once so that a failure shows each: EXPECT_EQ(Results({a.Lock(0), a.Unlock()}), Results({1, 1})).
using Results = std::vector<long long>;

// A name no other test or process uses: "zoltest-<tag>-<pid>-<counter>".
std::string uniqueName(const std::string& tag);

// Runs body in a forked child (core dumps off) that exits with body's result (0..255; an
// exception ends it with SIGABRT). Returns the pid.
pid_t forkChild(const std::function<int()>& body);

// Waits at most timeoutMs for pid. Returns its wait status, or -1 after killing it with
// SIGKILL when the time ran out (the child is always reaped).
int waitChild(pid_t pid, int timeoutMs);

// The exit code of a normally ended child, or -1 (signal, time-out).
int exitCodeOf(int waitStatus);

// forkChild, waitChild and exitCodeOf in one: body's result in a child, or -1.
int runChild(const std::function<int()>& body, int timeoutMs);

// Runs call on a thread of its own and returns its result: what another thread sees.
template <typename Call>
auto onOtherThread(const Call& call) {
    decltype(call()) result{};
    std::thread([&] { result = call(); }).join();
    return result;
}

// Polls condition every millisecond for at most timeoutMs; true once it held.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs);

// A forked process that runs body(peer) and exits with its result, and a channel between
// the two: each send() is one whole message, taken by one receive() on the other side. The
// test drives the peer step by step ("open", "close", ...), the peer answers with what it
// saw, and the test may kill it between any two steps.
class Peer {
public:
    explicit Peer(const std::function<int(Peer&)>& body);
    // Kills (SIGKILL) and reaps a peer still running.
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    // Either side: sends one message (a lost peer is not an error here).
    void send(const std::string& message);
    // Either side: the next message, or "" when none came within timeoutMs or the other
    // side has ended.
    std::string receive(int timeoutMs = kBoundMs);
    // The test: sends message and returns the answer (receive()).
    std::string ask(const std::string& message) { return send(message), receive(); }
    // The test: waits at most kBoundMs for the peer's end; its exit code, -1 after a signal
    // or a time-out (the peer is then killed).
    int finish();
    // The test: kills the peer (SIGKILL) and reaps it.
    void kill();
    pid_t pid() const { return pid_; }

private:
    int fd_ = -1;
    pid_t pid_ = -1;
};

// What runProgram saw of a program: its exit status (-1 for a signal or a time-out) and
// its standard output and error.
struct ProgramResult {
    int exitCode = -1;
    std::string out, err;
};

// One change to the child's environment: set name (first) to value (second).
using EnvChange = std::pair<std::string, std::string>;

// Runs a program as a user would: program (a path) with arguments in a fresh process,
// standard input from /dev/null, standard output and error captured (in files, so nothing
// blocks on a full pipe), and waits at most timeoutMs for it to end; a program still
// running then is killed. The test helper programs are in ZOL_TEST_HELPER_DIR.
ProgramResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::vector<EnvChange>& environment = {}, int timeoutMs = kBoundMs);

// Everything written to file descriptor 1 (stdio and raw writes) while body runs.
std::string captureStdout(const std::function<void()>& body);

// The whole content of a file, or "" when it cannot be read.
std::string readFile(const std::string& path);

// Milliseconds on the monotonic clock since start.
long elapsedMs(std::chrono::steady_clock::time_point start);

// The entries of a directory (without "." and ".."), in order; [] when it cannot be read.
std::vector<std::string> listDirectory(const std::string& path);

// The paths of the named-object directory (and of /opt/zol/ftok) whose entry name contains
// part: what a name leaves behind. [] when nothing.
std::vector<std::string> objectFiles(const std::string& part);

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // Writes content to path()/name and returns the full path.
    std::string writeFile(const std::string& name, const std::string& content) const;

private:
    std::string path_;
};

}  // namespace zoltest

#endif  // ZOLTOV_TESTS_ZOLTESTSUPPORT_H
