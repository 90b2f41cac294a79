#include "ZolTestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace zoltest {

std::string uniqueName(const std::string& tag) {
    static std::atomic<unsigned> counter{0};
    return "zoltest-" + tag + "-" + std::to_string(getpid()) + "-" +
           std::to_string(counter.fetch_add(1));
}

pid_t forkChild(const std::function<int()>& body) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int code = 1;
        try {
            code = body();
        } catch (...) {
            code = 120;
        }
        fflush(nullptr);
        _exit(code);
    }
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    return pid;
}

std::vector<char*> argvOf(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

pid_t spawnHelper(const std::string& program, const std::vector<std::string>& arguments) {
    std::string path = std::string(ZOL_TEST_HELPER_DIR) + "/" + program;
    std::vector<char*> argv = argvOf(path, arguments);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    return pid;
}

int waitChild(pid_t pid, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (true) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return status;
        }
        if (done < 0) {
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

int exitCodeOf(int waitStatus) {
    if (waitStatus != -1 && WIFEXITED(waitStatus)) {
        return WEXITSTATUS(waitStatus);
    }
    return -1;
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string captureStdout(const std::function<void()>& body) {
    fflush(stdout);
    char pattern[] = "/tmp/zoltest-stdout-XXXXXX";
    int capture = mkstemp(pattern);
    if (capture < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    unlink(pattern);
    int saved = dup(STDOUT_FILENO);
    dup2(capture, STDOUT_FILENO);
    body();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);

    std::string text;
    lseek(capture, 0, SEEK_SET);
    char buffer[4096];
    ssize_t got;
    while ((got = read(capture, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<size_t>(got));
    }
    close(capture);
    return text;
}

ChildOutput runChildCapturingStdout(const std::function<void()>& body, int timeoutMs) {
    char pattern[] = "/tmp/zoltest-child-XXXXXX";
    int capture = mkstemp(pattern);
    if (capture < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    unlink(pattern);
    pid_t pid = forkChild([&] {
        struct rlimit noCore = {0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        dup2(capture, STDOUT_FILENO);
        body();
        return 0;
    });
    ChildOutput result{waitChild(pid, timeoutMs), std::string()};
    lseek(capture, 0, SEEK_SET);
    char buffer[4096];
    ssize_t got;
    while ((got = read(capture, buffer, sizeof buffer)) > 0) {
        result.output.append(buffer, static_cast<size_t>(got));
    }
    close(capture);
    return result;
}

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zoltest-dir-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::writeFile(const std::string& name, const std::string& content) const {
    std::string full = path_ + "/" + name;
    std::ofstream out(full, std::ios::binary);
    out << content;
    return full;
}

bool fileExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

long elapsedMs(std::chrono::steady_clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
}

}  // namespace zoltest
