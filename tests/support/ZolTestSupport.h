// Helpers shared by the test suites: unique names, child processes with bounded waits,
// captured standard output and temporary directories.
#ifndef ZOLTOV_TESTS_ZOLTESTSUPPORT_H
#define ZOLTOV_TESTS_ZOLTESTSUPPORT_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace zoltest {

// A name no other test or process uses: "zoltest-<tag>-<pid>-<counter>".
std::string uniqueName(const std::string& tag);

// Runs body in a forked child that exits with body's result (0..255). Returns the pid.
pid_t forkChild(const std::function<int()>& body);

// An execv argument vector: program, the arguments, a null. Points into its inputs.
std::vector<char*> argvOf(const std::string& program, const std::vector<std::string>& arguments);

// Starts a test helper program (built next to the tests) with the given arguments.
pid_t spawnHelper(const std::string& program, const std::vector<std::string>& arguments);

// Waits at most timeoutMs for pid. Returns its wait status, or -1 after killing it with
// SIGKILL when the time ran out (the child is always reaped).
int waitChild(pid_t pid, int timeoutMs);

// The exit code of a normally ended child, or -1 (signal, time-out).
int exitCodeOf(int waitStatus);

// Polls condition every millisecond for at most timeoutMs; true once it held.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs);

// What a child run by runChildCapturingStdout left behind.
struct ChildOutput {
    int status;          // wait status, or -1 when the child was killed after timeoutMs
    std::string output;  // everything it wrote to file descriptor 1
};

// Runs body in a forked child whose standard output goes to a file, with core dumps off
// (for tests of processes that stop on a signal). The child exits 0 when body returns.
ChildOutput runChildCapturingStdout(const std::function<void()>& body, int timeoutMs);

// Everything written to file descriptor 1 (stdio and raw writes) while body runs.
std::string captureStdout(const std::function<void()>& body);

// True when something (of any type, a dangling link included) exists at path.
bool fileExists(const std::string& path);

// The whole content of a file, or "" when it cannot be read.
std::string readFile(const std::string& path);

// Milliseconds on the monotonic clock since start.
long elapsedMs(std::chrono::steady_clock::time_point start);

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
