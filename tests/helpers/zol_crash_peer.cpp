// zol_crash_peer - a process that the crash tests kill, or that has to go on after a kill.
// It meets the test by object name and reports through small files in a directory:
//
//   segment NAME DIR STAGE  stops with CZolSharedMemory(NAME, 64) at STAGE, creates
//                           DIR/inside and waits to be killed. STAGE is
//                             connected  open, the segment's mutex free;
//                             open       inside Open: the segment's mutex held around the
//                                        call, so the count is raised and not yet released;
//                             close      inside Close: likewise, the count already lowered.
//   churn NAME DIR          opens and closes CZolSharedMemory(NAME, 64) with a copy in
//                           between, over and over; creates DIR/running after the first
//                           round and goes on until killed (at most a minute).
//   join NAME DIR           opens NAME (waiting for its mutex), writes its connection count
//                           to DIR/joined, copies a block in and out, waits for DIR/leave,
//                           closes and writes its count to DIR/left.
//   lock NAME DIR TAG       opens the named CZolMutex NAME; with TAG "holder" it takes it,
//                           creates DIR/held and waits to be killed; otherwise it locks it,
//                           creates DIR/acquired-TAG, unlocks and ends once DIR/leave exists.
//
// Exit status 0 on success; 2 on a wrong result, 3 when a wait for a file timed out.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "ZolPeerFiles.h"
#include "CZolMutex.h"
#include "CZolSharedMemory.h"

namespace {

constexpr int kLifetimeMs = 60000;  // a victim nobody kills ends by itself
const char kMutexSuffix[] = "CZolSharedMemory";

[[noreturn]] void awaitKill(const std::string& dir, const char* marker) {
    zoltest::writePeerFile(dir + "/" + marker, "");
    std::this_thread::sleep_for(std::chrono::milliseconds(kLifetimeMs));
    exit(3);
}

int segment(const char* name, const std::string& dir, const std::string& stage) {
    if (stage != "connected" && stage != "open" && stage != "close") {
        return 64;
    }
    CZolSharedMemory* memory = new CZolSharedMemory;  // never closed: the process is killed
    if (stage != "open") {
        memory->Open(name, 64);
    }
    if (stage == "connected") {
        awaitKill(dir, "inside");
    }
    // The segment's mutex is recursive: holding it here around Open or Close keeps it held
    // when the call returns, as if the process had died at the end of the call's work.
    const std::string mutexName = std::string(name) + kMutexSuffix;
    new CZolMutex(1, mutexName.c_str(), 0);
    if (stage == "open") {
        memory->Open(name, 64);
    } else {
        memory->Close();
    }
    awaitKill(dir, "inside");
}

int churn(const char* name, const std::string& dir) {
    const unsigned int self = static_cast<unsigned int>(getpid());
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLifetimeMs);
    for (bool first = true; std::chrono::steady_clock::now() < end; first = false) {
        CZolSharedMemory memory;
        if (memory.Open(name, 64) != 1) {
            return 2;
        }
        // Connected about as long as Open and Close take, so that kills land in all three.
        auto connected = std::chrono::steady_clock::now() + std::chrono::microseconds(80);
        while (std::chrono::steady_clock::now() < connected) {
        }
        memcpy_shmem(memory, &self, sizeof self);
        memory.Close();
        if (first) {
            zoltest::writePeerFile(dir + "/running", "");
        }
    }
    return 3;
}

int join(const char* name, const std::string& dir) {
    CZolSharedMemory memory;
    if (memory.Open(name, 64) != 1) {
        return 2;
    }
    zoltest::writePeerFile(dir + "/joined", std::to_string(memory.GetConnectionsCount()));
    const char block[] = "after the crash";
    char back[sizeof block] = {};
    memcpy_shmem(memory, block, sizeof block);
    memcpy_shmem(back, memory, sizeof back);
    if (strcmp(back, block) != 0) {
        return 2;
    }
    zoltest::waitForPeerFile(dir + "/leave");
    memory.Close();
    zoltest::writePeerFile(dir + "/left", std::to_string(memory.GetConnectionsCount()));
    return 0;
}

int lock(const char* name, const std::string& dir, const std::string& tag) {
    CZolMutex mutex(0, name, 0);
    if (tag == "holder") {
        if (mutex.Lock(0xFFFFFFFF) != 1) {
            return 2;
        }
        awaitKill(dir, "held");
    }
    if (mutex.Lock(0xFFFFFFFF) != 1) {
        return 2;
    }
    zoltest::writePeerFile(dir + "/acquired-" + tag, "");
    if (mutex.Unlock() != 1) {
        return 2;
    }
    zoltest::waitForPeerFile(dir + "/leave");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "segment" && argc == 5) {
        return segment(argv[2], argv[3], argv[4]);
    }
    if (mode == "churn" && argc == 4) {
        return churn(argv[2], argv[3]);
    }
    if (mode == "join" && argc == 4) {
        return join(argv[2], argv[3]);
    }
    if (mode == "lock" && argc == 5) {
        return lock(argv[2], argv[3], argv[4]);
    }
    fprintf(stderr, "usage: zol_crash_peer segment|churn|join|lock NAME DIR ...\n");
    return 64;
}
