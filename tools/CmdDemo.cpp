// zoltov demo: the library's two typical roads, end to end, in plain lines.
//
// 1. Values passed to a second process through a named shared-memory stream: this
//    process opens the stream, starts `zoltov demo-reader` (itself, by /proc/self/exe),
//    which opens the same name; the writer puts a group of values into a write-mode
//    stream buffer and passes it on in one Write; the reader takes it out in one Read.
//    The stream gives no sign that data has arrived, so the two sides pace each other
//    through two pipes, every wait bounded.
// 2. Settings read from the bundled sample INI file: sections walked, typed items read,
//    a quoted list split into its parts.
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "CZolIniFile.h"
#include "CZolStreamBuffer.h"
#include "CZolStreamSharedMemory.h"
#include "ZolShmCatalog.h"
#include "ZolTool.h"

namespace zoltool {

namespace {

constexpr int kStepTimeoutMs = 10000;

// The group the writer sends: an int, a negative int, an unsigned int beyond the
// signed range and a bool, 13 bytes in the stream encoding.
struct Group {
    int answer = 0;
    int offset = 0;
    unsigned int big = 0;
    bool flag = false;
};
constexpr unsigned int kGroupBytes = 4 + 4 + 4 + 1;

std::string describe(const Group& g) {
    char text[96];
    std::snprintf(text, sizeof text, "%d %d %u %s", g.answer, g.offset, g.big,
                  g.flag ? "true" : "false");
    return text;
}

// Waits at most timeoutMs for one byte on fd; true when it came.
bool awaitByte(int fd, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            return false;
        }
        pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        char byte;
        ssize_t n = read(fd, &byte, 1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n == 1;
    }
}

bool sendByte(int fd) {
    char byte = '!';
    ssize_t n;
    do {
        n = write(fd, &byte, 1);
    } while (n < 0 && errno == EINTR);
    return n == 1;
}

// Reaps pid within timeoutMs, killing it when it overstays; its exit code or -1.
int reap(pid_t pid, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (true) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (done < 0 && errno != EINTR) {
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

int sharedMemoryRoad() {
    const std::string name = "zoltov-demo-" + std::to_string(getpid());
    std::printf("1. Values to a second process through the shared-memory stream '%s'\n",
                name.c_str());

    CZolStreamSharedMemory stream;
    if (!stream.Open(name.c_str())) {
        return fail(kExitUsage, "demo: cannot open shared-memory stream '" + name + "'");
    }
    std::printf("writer: opened the stream, connections %u\n", stream.GetConnectionsCount());

    // ready: reader -> writer ("opened", later "done"); go: writer -> reader ("sent").
    int ready[2];
    int go[2];
    if (pipe(ready) != 0 || pipe(go) != 0) {
        stream.Close();
        return fail(kExitUsage, "demo: cannot create pipes");
    }
    const std::string self = "/proc/self/exe";
    const std::string readyFd = std::to_string(ready[1]);
    const std::string goFd = std::to_string(go[0]);
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        close(go[1]);
        execl(self.c_str(), "zoltov", "demo-reader", name.c_str(), readyFd.c_str(), goFd.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ready[1]);
    close(go[0]);
    if (pid < 0) {
        close(ready[0]);
        close(go[1]);
        stream.Close();
        return fail(kExitUsage, "demo: cannot start the reader process");
    }

    int status = kExitOk;
    if (!awaitByte(ready[0], kStepTimeoutMs)) {
        status = fail(kExitUsage, "demo: the reader did not open the stream in time");
    } else {
        SegmentInfo info;
        if (findSegment(name, info) && info.connectionsKnown) {
            std::printf("writer: the segment now counts %u connections\n", info.connections);
        }
        Group g;
        g.answer = 42;
        g.offset = -7;
        g.big = 4000000000u;
        g.flag = true;
        CZolStreamBuffer group(0, kGroupBytes);
        group << g.answer << g.offset << g.big << g.flag;
        unsigned int bytes = group.GetLength();
        stream.Flush();  // back to the start of the data area
        if (!group.Flush(stream)) {
            status = fail(kExitUsage, "demo: the stream did not take the group");
        } else {
            std::printf("writer: sent %u bytes in one write: %s\n", bytes, describe(g).c_str());
            std::fflush(stdout);
            sendByte(go[1]);
            if (!awaitByte(ready[0], kStepTimeoutMs)) {
                status = fail(kExitUsage, "demo: the reader did not finish in time");
            }
        }
    }
    close(go[1]);
    close(ready[0]);
    int readerStatus = reap(pid, kStepTimeoutMs);
    if (status == kExitOk && readerStatus != 0) {
        status = fail(kExitUsage, "demo: the reader failed");
    }
    stream.Close();
    SegmentInfo left;
    if (findSegment(name, left)) {
        return fail(kExitUsage, "demo: segment '" + name + "' is still there after closing");
    }
    // The last close also removes the operators' key file, when one could be made.
    const std::string keyFile = "/opt/zol/ftok/" + name;
    if (access(keyFile.c_str(), F_OK) == 0) {
        return fail(kExitUsage, "demo: key file '" + keyFile + "' is still there after closing");
    }
    if (status == kExitOk) {
        std::printf("writer: closed the stream, the last connection: segment freed\n");
    }
    return status;
}

// Locates the sample settings: next to the executable in a build tree, in the data
// directory of an installation.
std::string sampleSettings() {
    const std::string dir = executableDir();
    const std::string candidates[] = {dir + "/demo-settings.ini",
                                      dir + "/../share/zoltov/demo-settings.ini"};
    for (const std::string& path : candidates) {
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            return path;
        }
    }
    return std::string();
}

int settingsRoad() {
    const std::string path = sampleSettings();
    if (path.empty()) {
        return fail(kExitNotFound, "demo: the sample settings demo-settings.ini are missing");
    }
    std::printf("2. Settings from %s\n", path.c_str());
    CZolIniFile ini;
    if (ini.ReOpen(path.c_str(), CZolIniFile::eRead) != 0) {
        return fail(kExitUsage, "demo: cannot open '" + path + "'");
    }
    std::string sections;
    char section[33];
    while (ini.GetNextSection(section) == 0) {
        sections += sections.empty() ? "" : " ";
        sections += section;
    }
    std::printf("sections: %s\n", sections.c_str());

    char host[514] = {};
    int port = 0;
    double timeout = 0;
    char verbose = 0;
    long maxClients = 0;
    if (ini.GetSection("Server") != 0 || ini.GetItem("Host", host) != 0 ||
        ini.GetItem("Port", port) != 0 || ini.GetItem("Timeout", timeout) != 0 ||
        ini.GetItem("Verbose", verbose) != 0 || ini.GetItem("MaxClients", maxClients) != 0) {
        return fail(kExitNotFound, "demo: the [Server] settings are incomplete");
    }
    std::printf("[SERVER] HOST = %s (string)\n", host);
    std::printf("[SERVER] PORT = %d (int)\n", port);
    std::printf("[SERVER] TIMEOUT = %g (double)\n", timeout);
    std::printf("[SERVER] VERBOSE = %c (char)\n", verbose);
    std::printf("[SERVER] MAXCLIENTS = %ld (long)\n", maxClients);

    char value[514] = {};
    if (ini.GetSection("Paths") != 0 || ini.FindItem("Search", value) != 0) {
        return fail(kExitNotFound, "demo: the [Paths] settings are incomplete");
    }
    std::printf("[PATHS] SEARCH = %s\n", value);
    char* cursor = value;
    int n = 0;
    while (char* part = ini.GetValue(cursor)) {
        std::printf("  part %d: '%s'\n", ++n, part);
        if (cursor <= part) {
            break;  // an open quote: the rest is one last part
        }
    }
    return kExitOk;
}

}  // namespace

int runDemo(const Args& args) {
    if (!args.empty()) {
        return usage("demo: takes no arguments");
    }
    std::printf("zoltov demo\n");
    int status = sharedMemoryRoad();
    if (status != kExitOk) {
        return status;
    }
    status = settingsRoad();
    if (status != kExitOk) {
        return status;
    }
    std::printf("done: everything the demo created has been removed\n");
    return kExitOk;
}

int runDemoReader(const Args& args) {
    if (args.size() != 3) {
        return usage("demo-reader: internal command of 'zoltov demo'");
    }
    const std::string& name = args[0];
    int readyFd = std::atoi(args[1].c_str());
    int goFd = std::atoi(args[2].c_str());

    CZolStreamSharedMemory stream;
    if (!stream.Open(name.c_str())) {
        return fail(kExitUsage, "demo-reader: cannot open '" + name + "'");
    }
    std::printf("reader (process %d): opened the stream, connections %u\n",
                static_cast<int>(getpid()), stream.GetConnectionsCount());
    std::fflush(stdout);
    sendByte(readyFd);
    int status = kExitOk;
    if (!awaitByte(goFd, kStepTimeoutMs)) {
        status = fail(kExitUsage, "demo-reader: nothing was sent in time");
    } else {
        CZolStreamBuffer group(1, kGroupBytes);
        stream.Flush();  // read from the start of the data area
        group.Fill(stream);
        unsigned int bytes = group.GetLength();
        Group g;
        group >> g.answer >> g.offset >> g.big >> g.flag;
        std::printf("reader: received %u bytes in one read: %s\n", bytes, describe(g).c_str());
    }
    stream.Close();
    std::printf("reader: closed the stream\n");
    std::fflush(stdout);
    sendByte(readyFd);
    return status;
}

}  // namespace zoltool
