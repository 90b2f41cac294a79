// Named segments shared by independent processes: connection counts, the last close,
// copies under the named mutex, concurrent churn and a user killed inside a copy.
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CZolMutex.h"
#include "CZolSharedMemory.h"
#include "ShmTestSupport.h"
#include "ZolTestSupport.h"

using shmtest::exists;
using shmtest::keyFile;
using shmtest::leftovers;
using shmtest::Probe;
using shmtest::readFile;
using shmtest::segmentIsGone;

namespace {

constexpr int kBoundMs = 20000;
const char kPeer[] = "zol_shm_peer";

// The platform creates the key file when it may; where it may not, the test puts one there
// so that its removal is still checked. False when neither is possible.
bool ensureKeyFile(const std::string& name) {
    if (exists(keyFile(name))) {
        return true;
    }
    int fd = open(keyFile(name).c_str(), O_CREAT | O_WRONLY, 0600);
    if (fd < 0) {
        return false;
    }
    close(fd);
    return true;
}

void expectNothingLeft(const std::string& name) {
    EXPECT_TRUE(segmentIsGone(name));
    EXPECT_FALSE(exists(keyFile(name)));
    EXPECT_EQ(leftovers(name), std::vector<std::string>());
}

}  // namespace

TEST(SharedMemory, CountsAcrossProcessesAndTheLastCloseRemovesSegmentAndKeyFile) {
    // Each order of opening and closing between this process and the peer.
    for (bool testOpensFirst : {true, false}) {
        SCOPED_TRACE(testOpensFirst ? "test opens first" : "peer opens first");
        const std::string name = zoltest::uniqueName("shm-count");
        zoltest::TempDir dir;
        Probe mine;
        if (testOpensFirst) {
            ASSERT_EQ(mine.Open(name.c_str(), 100), 1);
        }
        pid_t peer = zoltest::spawnHelper(kPeer, {"hold", name, dir.path()});
        ASSERT_TRUE(zoltest::waitUntil([&] { return exists(dir.path() + "/opened"); }, kBoundMs));
        if (!testOpensFirst) {
            ASSERT_EQ(mine.Open(name.c_str(), 7), 1);
        }
        const bool keyFileChecked = ensureKeyFile(name);
        EXPECT_EQ(mine.countInSegment(), 2u);
        EXPECT_EQ(mine.dataOffset(), 4);
        if (testOpensFirst) {
            EXPECT_EQ(mine.created(), 1);
            EXPECT_EQ(mine.GetConnectionsCount(), 1u);  // its own view, not the peer's Open
            EXPECT_EQ(readFile(dir.path() + "/opened"), "2 0");
            dir.writeFile("release", "");
            EXPECT_EQ(zoltest::exitCodeOf(zoltest::waitChild(peer, kBoundMs)), 0);
            EXPECT_EQ(readFile(dir.path() + "/closed"), "1");
            EXPECT_EQ(mine.countInSegment(), 1u);
            EXPECT_TRUE(!keyFileChecked || exists(keyFile(name)));
            mine.Close();
            EXPECT_EQ(mine.GetConnectionsCount(), 0u);
        } else {
            EXPECT_EQ(mine.created(), 0);
            EXPECT_EQ(mine.GetConnectionsCount(), 2u);
            EXPECT_EQ(readFile(dir.path() + "/opened"), "1 1");
            mine.Close();
            EXPECT_EQ(mine.GetConnectionsCount(), 1u);
            EXPECT_TRUE(!keyFileChecked || exists(keyFile(name)));
            dir.writeFile("release", "");
            EXPECT_EQ(zoltest::exitCodeOf(zoltest::waitChild(peer, kBoundMs)), 0);
            EXPECT_EQ(readFile(dir.path() + "/closed"), "0");
        }
        if (!keyFileChecked) {
            std::printf("note: %s cannot be written; key file removal not checked\n",
                        keyFile(name).c_str());
        }
        expectNothingLeft(name);
    }
}

TEST(SharedMemory, CopiesGoThroughTheDataAreaUnderTheNamedMutex) {
    const std::string name = zoltest::uniqueName("shm-copy");
    const std::string mutexName = name + "CZolSharedMemory";
    {
        CZolSharedMemory neverOpened;
        neverOpened.Close();  // holds no mutex: nothing to do
        Probe writer;
        Probe reader;
        ASSERT_EQ(writer.Open(name.c_str(), 16), 1);
        ASSERT_EQ(reader.Open(name.c_str(), 16), 1);
        // The segment's mutex is the name followed by the class name; it exists now.
        CZolMutex existing(0, mutexName.c_str(), 1);
        EXPECT_NE(static_cast<long>(existing), 0);

        void* data = memcpy_shmem(writer, "hello", 5);
        char out[6] = {};
        EXPECT_EQ(memcpy_shmem(out, reader, 5), out);
        EXPECT_STREQ(out, "hello");
        EXPECT_EQ(memcpy_shmem(writer, "J", 1), data);  // always the start of the data area
        memcpy_shmem(out, reader, 5);
        EXPECT_STREQ(out, "Jello");

        reader.Close();
        reader.Close();  // a closed object changes nothing
        EXPECT_EQ(writer.countInSegment(), 1u);
    }
    expectNothingLeft(name);
}

TEST(SharedMemory, EightProcessesChurningOneNameLeaveCountZeroAndNoSegment) {
    const std::string name = zoltest::uniqueName("shm-churn");
    std::vector<pid_t> peers;
    for (int i = 0; i < 8; ++i) {
        peers.push_back(zoltest::spawnHelper(kPeer, {"churn", name, "200"}));
    }
    for (pid_t peer : peers) {
        EXPECT_EQ(zoltest::exitCodeOf(zoltest::waitChild(peer, 120000)), 0);
    }
    expectNothingLeft(name);
}

TEST(SharedMemory, RefusedAllocationReportsTheFatalMessageAndExitsWithOne) {
    const std::string name = zoltest::uniqueName("shm-refused");
    zoltest::TempDir dir;
    const std::string output = dir.path() + "/stdout";
    pid_t child = zoltest::forkChild([&] {
        int fd = open(output.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
        dup2(fd, 1);
        // The platform cannot size a 1 MiB segment beyond this file-size limit.
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {64 * 1024, 64 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        CZolShMem memory;
        memory.Open(name.c_str(), 1024 * 1024);
        return 0;  // not reached when the allocation is refused
    });
    EXPECT_EQ(zoltest::exitCodeOf(zoltest::waitChild(child, kBoundMs)), 1);
    EXPECT_NE(readFile(output).find("Unable to create shared memory; possibly not root or "
                                    "insufficient resources"),
              std::string::npos);
    expectNothingLeft(name);
}
