// zol_shm_peer - the other process of the shared-memory tests. It meets the test by
// segment name and talks to it through small files in a directory both know:
//
//   hold NAME DIR        opens CZolSharedMemory(NAME, 100), writes "<count> <created>" to
//                        DIR/opened, waits for DIR/release, closes and writes the count it
//                        then sees to DIR/closed.
//   echo NAME DIR        opens a stream on NAME, creates DIR/ready, waits for DIR/go, takes
//                        an int, a bool and an unsigned int in one Read (CZolStreamBuffer
//                        Fill), then writes back int*2, !bool and unsigned+1 with three
//                        operators from the start of the data area and creates DIR/done.
//   sum NAME DIR TAG N   opens a stream on NAME, creates DIR/ready-TAG, waits for DIR/go,
//                        reads N ints one by one (yielding between them so that readers
//                        interleave) and writes their sum to DIR/sum-TAG.
//   churn NAME ROUNDS    opens and closes CZolSharedMemory(NAME, 64) ROUNDS times; each
//                        time stores its pid with memcpy_shmem and checks the count.
//   die NAME DIR         opens CZolSharedMemory(NAME, 64) and calls memcpy_shmem with an
//                        unreadable source: the fault stops it inside the copy, holding
//                        the segment's mutex; it creates DIR/inside and waits to be killed.
//
// Exit status 0 on success; 2 on a wrong result, 3 when a wait for a file timed out.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "ZolPeerFiles.h"
#include "CZolSharedMemory.h"
#include "CZolStreamBuffer.h"
#include "CZolStreamSharedMemory.h"

namespace {

int hold(const char* name, const std::string& dir) {
    struct Probe : CZolSharedMemory {
        int created() const { return m_bCreated; }
    } memory;
    memory.Open(name, 100);
    zoltest::writePeerFile(dir + "/opened", std::to_string(memory.GetConnectionsCount()) + " " +
                                                std::to_string(memory.created()));
    zoltest::waitForPeerFile(dir + "/release");
    memory.Close();
    zoltest::writePeerFile(dir + "/closed", std::to_string(memory.GetConnectionsCount()));
    return 0;
}

int echo(const char* name, const std::string& dir) {
    CZolStreamSharedMemory stream;
    if (stream.Open(name) != 1) {
        return 2;
    }
    zoltest::writePeerFile(dir + "/ready", "");
    zoltest::waitForPeerFile(dir + "/go");
    stream.Flush();
    CZolStreamBuffer group(1, 9);
    if (group.Fill(stream) != 1) {
        return 2;
    }
    int number = 0;
    bool flag = false;
    unsigned int word = 0;
    group >> number >> flag >> word;
    stream.Flush();
    stream << number * 2 << !flag << word + 1;
    zoltest::writePeerFile(dir + "/done", "");
    return 0;
}

int sum(const char* name, const std::string& dir, const std::string& tag, int count) {
    CZolStreamSharedMemory stream;
    if (stream.Open(name) != 1) {
        return 2;
    }
    zoltest::writePeerFile(dir + "/ready-" + tag, "");
    zoltest::waitForPeerFile(dir + "/go");
    stream.Flush();
    long total = 0;
    for (int i = 0; i < count; ++i) {
        int value = 0;
        stream >> value;
        total += value;
        sched_yield();
    }
    zoltest::writePeerFile(dir + "/sum-" + tag, std::to_string(total));
    return 0;
}

int churn(const char* name, int rounds) {
    const unsigned int self = static_cast<unsigned int>(getpid());
    for (int i = 0; i < rounds; ++i) {
        CZolSharedMemory memory;
        if (memory.Open(name, 64) != 1) {
            return 2;
        }
        // A count outside 1..8 (there are eight churners) means an unserialised update.
        if (memory.GetConnectionsCount() < 1 || memory.GetConnectionsCount() > 8) {
            return 2;
        }
        unsigned int seen = 0;
        memcpy_shmem(memory, &self, sizeof self);
        memcpy_shmem(&seen, memory, sizeof seen);
        (void)seen;  // others may have stored theirs in between: only the copies matter
        memory.Close();
    }
    return 0;
}

std::string g_insideFile;

extern "C" void stopInsideCopy(int) {
    // Only async-signal-safe calls: announce, then wait for the SIGKILL.
    int fd = open(g_insideFile.c_str(), O_CREAT | O_WRONLY, 0600);
    if (fd >= 0) {
        close(fd);
    }
    for (;;) {
        pause();
    }
}

int die(const char* name, const std::string& dir) {
    CZolSharedMemory memory(name, 64);
    g_insideFile = dir + "/inside";
    long page = sysconf(_SC_PAGESIZE);
    void* unreadable = mmap(nullptr, page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (unreadable == MAP_FAILED) {
        return 2;
    }
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = stopInsideCopy;
    sigaction(SIGSEGV, &action, nullptr);
    memcpy_shmem(memory, unreadable, 16);
    return 2;  // the copy cannot have succeeded
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "hold" && argc == 4) {
        return hold(argv[2], argv[3]);
    }
    if (mode == "echo" && argc == 4) {
        return echo(argv[2], argv[3]);
    }
    if (mode == "sum" && argc == 6) {
        return sum(argv[2], argv[3], argv[4], atoi(argv[5]));
    }
    if (mode == "churn" && argc == 4) {
        return churn(argv[2], atoi(argv[3]));
    }
    if (mode == "die" && argc == 4) {
        return die(argv[2], argv[3]);
    }
    fprintf(stderr, "usage: zol_shm_peer hold|echo|sum|churn|die NAME ...\n");
    return 64;
}
