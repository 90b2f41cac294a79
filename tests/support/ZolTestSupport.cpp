#include "ZolTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "qelTesting.h"

namespace zoltest {

std::string uniqueName(const std::string& tag) {
    static std::atomic<unsigned> counter{0};
    return "zoltest-" + tag + "-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

pid_t forkChild(const std::function<int()>& body) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        // Children that stop on a signal on purpose leave no core file behind.
        struct rlimit noCore = {0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        int code = body();
        fflush(nullptr);
        _exit(code);
    }
    return pid;
}

int waitChild(pid_t pid, int timeoutMs) {
    int status = -1;
    if (waitUntil([&] { return waitpid(pid, &status, WNOHANG) != 0; }, timeoutMs))
        return status;
    ::kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

int exitCodeOf(int waitStatus) {
    return waitStatus != -1 && WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
}

int runChild(const std::function<int()>& body, int timeoutMs) {
    return exitCodeOf(waitChild(forkChild(body), timeoutMs));
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

Peer::Peer(const std::function<int(Peer&)>& body) {
    int fds[2];
    // SOCK_SEQPACKET keeps message boundaries, and a peer's end reads as end of file.
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error("socketpair failed");
    pid_ = forkChild([&] {
        close(fds[0]);
        fd_ = fds[1];
        return body(*this);
    });
    close(fds[1]);
    fd_ = fds[0];
}

Peer::~Peer() {
    kill();
    close(fd_);
}

void Peer::send(const std::string& message) {
    ::send(fd_, message.data(), message.size(), MSG_NOSIGNAL);
}

std::string Peer::receive(int timeoutMs) {
    pollfd ready = {fd_, POLLIN, 0};
    char buffer[4096];
    ssize_t got = poll(&ready, 1, timeoutMs) == 1 ? recv(fd_, buffer, sizeof buffer, 0) : -1;
    return std::string(buffer, got > 0 ? static_cast<size_t>(got) : 0);
}

int Peer::finish() {
    int status = pid_ > 0 ? waitChild(pid_, kBoundMs) : -1;
    pid_ = -1;
    return exitCodeOf(status);
}

void Peer::kill() {
    if (pid_ > 0)
        ::kill(pid_, SIGKILL);
    finish();
}

// The whole of an open (possibly unlinked) file, read through a fresh open from its start.
static std::string contentOf(FILE* file) {
    std::string text = readFile("/proc/self/fd/" + std::to_string(fileno(file)));
    fclose(file);
    return text;
}

std::string captureStdout(const std::function<void()>& body) {
    fflush(stdout);
    FILE* capture = tmpfile();
    int saved = dup(STDOUT_FILENO);
    dup2(fileno(capture), STDOUT_FILENO);
    body();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    return contentOf(capture);
}

ProgramResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::vector<EnvChange>& environment, int timeoutMs) {
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    std::vector<std::string> words = {program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = forkChild([&] {
        dup2(open("/dev/null", O_RDONLY), 0);
        dup2(fileno(out), 1);
        dup2(fileno(err), 2);
        for (const EnvChange& change : environment)
            setenv(change.first.c_str(), change.second.c_str(), 1);
        execv(argv[0], argv.data());
        _exit(127);  // not through forkChild's fflush: the stdio buffers belong to the test
        return 127;
    });
    int code = exitCodeOf(waitChild(pid, timeoutMs));
    return ProgramResult{code, contentOf(out), contentOf(err)};
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

long elapsedMs(std::chrono::steady_clock::time_point start) {
    auto spent = std::chrono::steady_clock::now() - start;
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(spent).count());
}

std::vector<std::string> listDirectory(const std::string& path) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(path, ignored))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> objectFiles(const std::string& part) {
    std::vector<std::string> found;
    for (std::string dir : {std::string(qelTestObjectDirectory()), std::string("/opt/zol/ftok")})
        for (const std::string& name : listDirectory(dir))
            if (name.find(part) != std::string::npos)
                found.push_back(dir + "/" + name);
    return found;
}

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    path_ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zoltest-dir-XXXXXX";
    if (mkdtemp(path_.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::writeFile(const std::string& name, const std::string& content) const {
    std::ofstream(path_ + "/" + name, std::ios::binary) << content;
    return path_ + "/" + name;
}

}  // namespace zoltest
