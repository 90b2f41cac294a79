// Who holds a named object, as the kernel tells it: any number of processes, crashed ones
// taken back behind a live one, a holder whose clocks run elsewhere, a child that outlives
// the parent that made its objects, a stopped holder that the tool waits for only so long,
// and a segment's end right before its inaccessible page.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "../shm/ShmProbe.h"
#include "qelStore.h"
#include "qelTesting.h"

using zoltest::Peer;

namespace {

// The holder entries that the file of the named mutex lists now, live or not yet taken back.
uint32_t listedHolders(const std::string& name) {
    qel::StoreHeader header{};
    int fd = open((std::string(qelTestObjectDirectory()) + "/" +
                   qel::encodeName(qel::ObjectType::Mutex, name.c_str()))
                      .c_str(),
                  O_RDONLY);
    ssize_t got = pread(fd, &header, sizeof header, 0);
    close(fd);
    return got == sizeof header ? header.holderCount : 0;
}

struct Data : CZolShMem {
    unsigned char* data() { return m_pData; }
};

}  // namespace

TEST(Holders, AnyNumberOfProcessesAndCrashedOnesBehindALiveOne) {
    const std::string name = zoltest::uniqueName("holders");
    CZolMutex server(0, name.c_str(), 0);
    // 150 processes hold it at once: more than the file's first page lists.
    auto* shared = static_cast<int*>(
        mmap(nullptr, 8, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    std::vector<pid_t> holders;
    for (int i = 0; i < 150; ++i) {
        holders.push_back(zoltest::forkChild([&] {
            CZolMutex mine(0, name.c_str(), 1);
            __atomic_add_fetch(&shared[0], 1, __ATOMIC_SEQ_CST);
            zoltest::waitUntil([&] { return __atomic_load_n(&shared[1], __ATOMIC_SEQ_CST); },
                               zoltest::kBoundMs);
            return static_cast<long>(mine) != 0 && mine.Lock(zoltest::kBoundMs) == 1 &&
                           mine.Unlock() == 1
                       ? 0
                       : 1;
        }));
    }
    EXPECT_TRUE(zoltest::waitUntil([&] { return shared[0] == 150; }, zoltest::kBoundMs));
    EXPECT_GE(listedHolders(name), 151u);
    shared[1] = 1;
    int failed = 0;
    for (pid_t holder : holders)
        failed += zoltest::exitCodeOf(zoltest::waitChild(holder, zoltest::kBoundMs)) != 0;
    EXPECT_EQ(failed, 0);
    // 300 clients crash while they hold it: new ones still come in, and the list stays short.
    for (int i = 0; i < 300; ++i)
        zoltest::runChild([&] { return new CZolMutex(0, name.c_str(), 1), raise(SIGKILL); },
                          zoltest::kBoundMs);
    EXPECT_EQ(zoltest::runChild([&] { return CZolMutex(0, name.c_str(), 1) != 0 ? 0 : 1; },
                                zoltest::kBoundMs),
              0);
    EXPECT_LE(listedHolders(name), 16u);
    munmap(shared, 8);
}

TEST(Holders, AHolderWhoseClocksRunAheadIsAlive) {
    const std::string name = zoltest::uniqueName("timens");
    Peer outer([&](Peer& p) {
        // Children of this process see boot and monotonic time a day ahead.
        FILE* offsets =
            unshare(CLONE_NEWTIME) == 0 ? fopen("/proc/self/timens_offsets", "w") : nullptr;
        if (offsets == nullptr || fprintf(offsets, "monotonic 86400 0\nboottime 86400 0\n") < 0 ||
            fclose(offsets) != 0)
            return 77;
        Peer holder([&](Peer& h) {
            CZolMutex held(1, name.c_str(), 0);
            h.send("held");
            return h.receive(), 0;
        });
        p.send(holder.receive());
        return p.receive(), 0;
    });
    if (outer.receive() != "held")
        GTEST_SKIP() << "no time namespace of its own here: " << outer.finish();
    CZolMutex other(0, name.c_str(), 1);
    EXPECT_NE(static_cast<long>(other), 0);  // found, not taken for the remains of the dead
    EXPECT_EQ(other.Lock(0), 0);             // and still held by the other namespace's holder
    outer.send("end");
    EXPECT_EQ(outer.finish(), 0);
}

TEST(Holders, AChildOutlivesTheParentThatMadeItsObjects) {
    const std::string name = zoltest::uniqueName("daemon");
    prctl(PR_SET_CHILD_SUBREAPER, 1);  // the orphaned child comes back here to be reaped
    Peer parent([&](Peer& p) {
        auto* mutex = new CZolMutex(0, name.c_str(), 0);
        auto* segment = new CZolSharedMemory(name.c_str(), 16);
        memcpy_shmem(*segment, "daemon", 7);
        zoltest::forkChild([&] {
            mutex->Lock(zoltest::kBoundMs);
            p.send(std::to_string(getpid()));
            return p.receive(), mutex->Unlock(), 0;
        });
        exit(0);  // at once, through the exit handlers, as a daemon's parent does
        return 0;
    });
    const pid_t child = std::stoi(parent.receive());
    EXPECT_EQ(parent.finish(), 0);
    {
        CZolMutex mutex(0, name.c_str(), 1);
        EXPECT_EQ(mutex.Lock(0), 0);  // the same mutex, the child's
        Probe segment;
        segment.Open(name.c_str(), 16);
        char seen[7] = {};
        EXPECT_EQ(segment.created(), 0);
        EXPECT_EQ(segment.GetConnectionsCount(), 1u);  // the parent's went with its exit
        EXPECT_STREQ(static_cast<char*>(memcpy_shmem(seen, segment, 7)), "daemon");
        parent.send("done");
        EXPECT_EQ(zoltest::exitCodeOf(zoltest::waitChild(child, zoltest::kBoundMs)), 0);
        EXPECT_EQ(mutex.Lock(zoltest::kBoundMs), 1);
        mutex.Unlock();
    }
    EXPECT_EQ(zoltest::objectFiles(name), std::vector<std::string>());
}

TEST(Holders, TheToolWaitsForAStoppedHolderOnlyAsLongAsItSays) {
    const std::string name = zoltest::uniqueName("stopped");
    // Stopped inside its close, as it removes the segment's name: its table lock held.
    pid_t stopped = zoltest::forkChild([&] {
        CZolSharedMemory segment(name.c_str(), 16);
        qelTestFaultAt("unlinkat", 1, QEL_FAULT_STOP, 0);
        segment.Close();
        return 0;
    });
    const std::string stat = "/proc/" + std::to_string(stopped) + "/stat";
    EXPECT_TRUE(zoltest::waitUntil(
        [&] { return zoltest::readFile(stat).find(") T ") != std::string::npos; },
        zoltest::kBoundMs));
    zoltest::ProgramResult r =
        zoltest::runProgram(ZOL_TOOL_PATH, {"shm", "repair", name}, {}, zoltest::kBoundMs);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("stayed locked for 5 s"), std::string::npos) << r.err;
    kill(stopped, SIGKILL);
    zoltest::waitChild(stopped, zoltest::kBoundMs);
    // The name the killed remover left: gone with this repair, or with a concurrent sweep.
    r = zoltest::runProgram(ZOL_TOOL_PATH, {"shm", "repair", name});
    EXPECT_TRUE(r.out.find("removed " + name + ": no process uses it") == 0 ||
                r.err.find("no segment named") != std::string::npos)
        << r.out << r.err;
    EXPECT_EQ(zoltest::objectFiles(name), std::vector<std::string>());
}

TEST(Holders, ASegmentEndsRightBeforeAnInaccessiblePage) {
    const struct {
        unsigned int size;
        unsigned int offset;  // of the byte written, in the data area
        int code;             // 9: the write faulted
    } rows[] = {{100, 99, 0}, {100, 100, 9}, {101, 103, 0}, {101, 104, 9}, {4092, 4092, 9}};
    for (const auto& row : rows) {
        const std::string name = zoltest::uniqueName("guard");
        EXPECT_EQ(zoltest::runChild(
                      [&] {
                          signal(SIGSEGV, [](int) { _exit(9); });
                          Data segment;
                          segment.Open(name.c_str(), row.size);
                          segment.data()[row.offset] = 1;
                          return segment.Close(), 0;
                      },
                      zoltest::kBoundMs),
                  row.code)
            << row.size << " bytes, byte " << row.offset;
        Data again;  // whatever the faulting process left is not found, but made anew
        EXPECT_EQ(again.Open(name.c_str(), 8), 1);
        again.Close();
        EXPECT_EQ(zoltest::objectFiles(name), std::vector<std::string>());
    }
}
