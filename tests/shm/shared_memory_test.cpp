// Named segments shared by processes: connection counts, the data area beside the count,
// private stream positions, the last close, and concurrent churn under the named mutex.
#include "ShmProbe.h"

using zoltest::Peer;

TEST(SharedMemory, ProcessesShareCountAndDataKeepTheirPositionsAndTheLastCloseRemovesAll) {
    const std::string name = zoltest::uniqueName("shm");
    CZolSharedMemory().Close();  // never opened: holds no mutex, nothing to do
    // A size that wraps below the count ends its caller, and leaves the name to the others.
    EXPECT_EQ(zoltest::runChild([&] { return CZolShMem().Open(name.c_str(), ~3u), 0; }, 9000), 1);
    Probe mine, other;
    EXPECT_EQ(mine.Create(name.c_str()), 0);  // allocates nothing
    EXPECT_EQ(zoltest::objectFiles(name), std::vector<std::string>());
    ASSERT_EQ(mine.Open(name.c_str(), 100), 1);
    EXPECT_EQ(mine.GetConnectionsCount() * 10 + mine.created(), 11u);
    // A forked child's close and exit take nothing from its parent's connection, though it
    // is the only one.
    EXPECT_EQ(0, Peer([&](Peer&) {
                     mine.Close();
                     exit(0);  // and the exit handlers
                     return 1;
                 }).finish());
    EXPECT_EQ(mine.count(), 1u);
    Peer peer([&](Peer& p) { return segmentPeer(p, name); });
    EXPECT_EQ(peer.ask("open"), "2 0");  // attached: the count raised, nothing allocated
    EXPECT_EQ(mine.count(), 2u);
    EXPECT_EQ(peer.ask("put hello"), "ok");
    char out[6] = {};
    EXPECT_EQ(memcpy_shmem(out, mine, 5), out);
    EXPECT_STREQ(out, "hello");
    ASSERT_EQ(other.Open(name.c_str(), 10), 1);
    mine << 1 << 2;
    int first = 0, second = 0;
    other >> first >> second;
    EXPECT_EQ(first * 10 + second, 12);
    EXPECT_EQ(mine.Flush(), 1);
    EXPECT_EQ(mine.position(), 0);
    mine << 9;                       // rewrites the first four bytes only
    EXPECT_EQ(other.position(), 8);  // the other readers' positions stayed
    other.Flush();
    other >> first >> second;
    EXPECT_EQ(first * 10 + second, 92);
    other.Close();
    EXPECT_EQ(peer.ask("close"), "1");
    peer.send("end");
    EXPECT_EQ(peer.finish(), 0);  // with its copies of mine's mutex and segment
    EXPECT_NE(zoltest::objectFiles(name), std::vector<std::string>());  // mine holds it still
    EXPECT_EQ(mine.count(), 1u);
    mine.Close();
    mine.Close();  // a closed object: nothing changes
    expectGone(name);
}

TEST(SharedMemory, EightProcessesChurningOneNameKeepTheCountExact) {
    const std::string name = zoltest::uniqueName("shm-churn");
    std::vector<pid_t> churners;
    for (int i = 0; i < 8; ++i) {
        churners.push_back(zoltest::forkChild([&] {
            for (int round = 0; round < 600; ++round) {
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
