// What the shared-memory tests look at, and the peer process they drive.
#ifndef ZOLTOV_TESTS_SHM_SHMPROBE_H
#define ZOLTOV_TESTS_SHM_SHMPROBE_H

#include <signal.h>
#include <sys/mman.h>

#include <string>

#include <gtest/gtest.h>

#include "CZolStreamSharedMemory.h"
#include "ZolTestSupport.h"

// A segment object whose fields a test may read: the count in the segment itself, the
// creation flag, and the position (m_pData) counted from the first byte of the data area.
struct Probe : CZolStreamSharedMemory {
    int created() const { return m_bCreated; }
    unsigned int& count() { return *static_cast<unsigned int*>(m_pShMem); }
    long position() const { return m_pData - static_cast<unsigned char*>(m_pShMem) - 4; }
};

// The body of a peer with one Probe on name, driven step by step by messages:
//   open      Open(name, 100); answers "<its GetConnectionsCount()> <created>"
//   close     Close(); answers "<its GetConnectionsCount()>"
//   lock      takes the segment's named mutex and keeps it; the mutex is recursive, so a
//             later open or close runs and returns with the mutex still held, as if the
//             process stopped at the end of that call's work; answers "ok"
//   put TEXT  copies TEXT to the position with memcpy_shmem; answers "ok"
//   fault-in  copies from unreadable memory into the segment, fault-out from the segment
//             into unwritable memory, fault-past attaches (another connection) with a larger
//             size than the segment's and copies past its end: stops (SIGSTOP) inside the
//             copy, the mutex held
// Anything else, or the test's end, ends the peer with status 0.
inline int segmentPeer(zoltest::Peer& peer, const std::string& name) {
    Probe m;
    for (std::string step = peer.receive(); !step.empty(); step = peer.receive()) {
        const std::string verb = step.substr(0, step.find(' '));
        std::string out = "ok";
        if (verb == "open") {
            m.Open(name.c_str(), 100);
            out = std::to_string(m.GetConnectionsCount()) + " " + std::to_string(m.created());
        } else if (verb == "close") {
            m.Close();
            out = std::to_string(m.GetConnectionsCount());
        } else if (verb == "lock") {
            new CZolMutex(1, (name + "CZolSharedMemory").c_str(), 0);
        } else if (verb == "put") {
            memcpy_shmem(m, step.c_str() + 4, static_cast<unsigned int>(step.size() - 4));
        } else if (verb.rfind("fault-", 0) == 0) {
            signal(SIGSEGV, [](int) { raise(SIGSTOP); });
            signal(SIGBUS, [](int) { raise(SIGSTOP); });  // past the end of the file
            void* none = mmap(nullptr, 16, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            static char bytes[2 * 4096];
            if (verb == "fault-in")
                memcpy_shmem(m, none, 16);
            else if (verb == "fault-out")
                memcpy_shmem(none, m, 16);
            else
                memcpy_shmem(*new CZolSharedMemory(name.c_str(), 1 << 20), bytes, sizeof bytes);
        } else {
            return 0;
        }
        peer.send(out);
    }
    return 0;
}

// Nothing of name is left: no file of it remains, and a new Open allocates the segment.
inline void expectGone(const std::string& name) {
    EXPECT_EQ(zoltest::objectFiles(name), std::vector<std::string>());
    Probe fresh;
    fresh.Open(name.c_str(), 4);
    EXPECT_EQ(fresh.created(), 1) << name;
}

#endif  // ZOLTOV_TESTS_SHM_SHMPROBE_H
