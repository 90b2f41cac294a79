// Named segments shared by processes: connection counts, the last close, copies and stream
// positions under the named mutex, concurrent churn, and the fatal refusal of an allocation.
#include <sys/resource.h>
#include <unistd.h>

#include "ShmProbe.h"

using zoltest::Peer;

TEST(SharedMemory, CountsAcrossProcessesAndTheLastCloseRemovesSegmentAndKeyFile) {
    const std::string name = zoltest::uniqueName("shm-count");
    const std::string keyFile = "/opt/zol/ftok/" + name;
    const bool keyed = access("/opt/zol/ftok", W_OK) == 0;  // the platform makes it where it may
    Peer peer([&](Peer& p) { return segmentPeer(p, name); });
    Probe mine;
    ASSERT_EQ(mine.Open(name.c_str(), 100), 1);
    EXPECT_EQ(mine.GetConnectionsCount() * 10 + mine.created(), 11u);
    EXPECT_EQ(mine.position(), 0);
    EXPECT_EQ(peer.ask("open"), "2 0");  // attached: the count raised, nothing allocated
    EXPECT_EQ(mine.count(), 2u);
    EXPECT_EQ(mine.GetConnectionsCount(), 1u);  // its own Open's view
    EXPECT_EQ(peer.ask("put hello"), "ok");
    char out[6] = {};
    EXPECT_EQ(memcpy_shmem(out, mine, 5), out);
    EXPECT_STREQ(out, "hello");
    EXPECT_EQ(peer.ask("close"), "1");
    EXPECT_EQ(mine.count(), 1u);
    EXPECT_EQ(zoltest::fileExists(keyFile), keyed);
    mine.Close();
    EXPECT_EQ(mine.GetConnectionsCount(), 0u);
    mine.Close();  // a closed object: nothing changes
    EXPECT_FALSE(zoltest::fileExists(keyFile));
    expectGone(name);
}

TEST(SharedMemory, StreamPositionsArePrivateAndEveryCopyUsesTheDataArea) {
    const std::string name = zoltest::uniqueName("shm-stream");
    {
        CZolSharedMemory neverOpened;
        neverOpened.Close();  // holds no mutex: nothing to do
        Probe a, b;
        EXPECT_EQ(a.Create(name.c_str()), 0);
        EXPECT_EQ(zoltest::objectFiles(name), std::vector<std::string>());
        ASSERT_EQ(a.Open(name.c_str()), 1);
        ASSERT_EQ(b.Open(name.c_str(), 10), 1);
        CZolMutex mutex(0, (name + "CZolSharedMemory").c_str(), 1);  // opens the existing one
        EXPECT_NE(static_cast<long>(mutex), 0);
        a << 1 << 2;
        int first = 0, second = 0;
        b >> first >> second;
        EXPECT_EQ(first * 10 + second, 12);
        EXPECT_EQ(a.position(), 8);
        EXPECT_EQ(a.Flush(), 1);
        EXPECT_EQ(a.position(), 0);
        a << 9;  // rewrites the first four bytes only
        Peer peer([&](Peer& p) { return segmentPeer(p, name); });
        EXPECT_EQ(peer.ask("open"), "3 0");
        EXPECT_EQ(peer.ask("ints 2"), "9 2 ");
        EXPECT_EQ(b.position(), 8);  // the other readers' positions stayed
        EXPECT_EQ(peer.ask("close"), "2");
    }
    expectGone(name);
}

TEST(SharedMemory, EightProcessesChurningOneNameKeepTheCountExact) {
    const std::string name = zoltest::uniqueName("shm-churn");
    std::vector<pid_t> churners;
    for (int i = 0; i < 8; ++i) {
        churners.push_back(zoltest::forkChild([&] {
            for (int round = 0; round < 200; ++round) {
                CZolSharedMemory memory(name.c_str(), 64);
                // A count outside 1..8 means an update that was not serialised.
                if (memory.GetConnectionsCount() < 1 || memory.GetConnectionsCount() > 8)
                    return 2;
                memcpy_shmem(memory, &round, sizeof round);
            }
            return 0;
        }));
    }
    for (pid_t churner : churners)
        EXPECT_EQ(zoltest::exitCodeOf(zoltest::waitChild(churner, 120000)), 0);
    expectGone(name);
}

TEST(SharedMemory, RefusedAllocationEndsWithTheFatalMessage) {
    const std::string name = zoltest::uniqueName("shm-refused");
    zoltest::ChildOutput child = zoltest::runChildCapturingStdout(
        [&] {
            // The platform cannot size a 1 MiB segment beyond this file-size limit.
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit limit = {64 * 1024, 64 * 1024};
            setrlimit(RLIMIT_FSIZE, &limit);
            CZolShMem memory;
            memory.Open(name.c_str(), 1024 * 1024);
        },
        zoltest::kBoundMs);
    EXPECT_EQ(zoltest::exitCodeOf(child.status), 1);
    EXPECT_EQ(child.output,
              "Unable to create shared memory; possibly not root or insufficient resources\n");
    expectGone(name);
}
