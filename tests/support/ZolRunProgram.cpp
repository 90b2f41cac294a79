#include "ZolRunProgram.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "ZolTestSupport.h"

namespace zoltest {

ProgramResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                         const std::vector<EnvChange>& environment, int timeoutMs) {
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        throw std::runtime_error("pipe failed");
    }
    std::vector<char*> argv = argvOf(program, arguments);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int devNull = open("/dev/null", O_RDONLY);
        if (devNull < 0 || dup2(devNull, 0) < 0 || dup2(outPipe[1], 1) < 0 ||
            dup2(errPipe[1], 2) < 0) {
            _exit(127);
        }
        for (const EnvChange& change : environment) {
            if (change.unset) {
                unsetenv(change.name.c_str());
            } else {
                setenv(change.name.c_str(), change.value.c_str(), 1);
            }
        }
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        throw std::runtime_error("fork failed");
    }

    ProgramResult result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int openPipes = 2;
    while (openPipes > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            result.timedOut = true;
            break;
        }
        if (poll(fds, 2, static_cast<int>(left)) < 0) {
            continue;  // EINTR: the deadline still bounds the loop
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char chunk[4096];
            ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                sinks[i]->append(chunk, static_cast<size_t>(n));
            } else if (n == 0 || (n < 0 && errno != EINTR)) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --openPipes;
            }
        }
    }
    for (pollfd& fd : fds) {
        if (fd.fd >= 0) {
            close(fd.fd);
        }
    }
    if (result.timedOut) {
        kill(pid, SIGKILL);
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    int status = waitChild(pid, left > 0 ? static_cast<int>(left) : 1000);
    result.timedOut = result.timedOut || status == -1;
    result.exitCode = status == -1 ? -1 : exitCodeOf(status);
    return result;
}

}  // namespace zoltest
