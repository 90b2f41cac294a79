// The stream over a named segment: per-object positions, both directions between two
// processes, groups in one Write/Read through a stream buffer, readers that do not
// disturb each other.
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CZolStreamBuffer.h"
#include "CZolStreamSharedMemory.h"
#include "ShmTestSupport.h"
#include "ZolTestSupport.h"

using shmtest::exists;
using shmtest::leftovers;
using shmtest::readFile;
using shmtest::segmentIsGone;

namespace {

constexpr int kBoundMs = 20000;
const char kPeer[] = "zol_shm_peer";

// Exposes the position and the raw data area.
struct StreamProbe : CZolStreamSharedMemory {
    const unsigned char* data() const { return static_cast<unsigned char*>(m_pShMem) + 4; }
    long position() const { return m_pData - data(); }
};

}  // namespace

TEST(StreamSharedMemory, PositionsArePrivateAndFlushRewindsWithoutCopying) {
    const std::string name = zoltest::uniqueName("shm-stream");
    {
        StreamProbe a;
        StreamProbe b;
        EXPECT_EQ(a.Create(name.c_str()), 0);
        EXPECT_TRUE(segmentIsGone(name));  // Create made nothing
        ASSERT_EQ(a.Open(name.c_str()), 1);
        ASSERT_EQ(b.Open(name.c_str()), 1);
        EXPECT_EQ(a.GetConnectionsCount(), 1u);
        EXPECT_EQ(b.GetConnectionsCount(), 2u);

        a << 1 << 2;
        EXPECT_EQ(a.position(), 8);
        int first = 0;
        int second = 0;
        b >> first;
        EXPECT_EQ(b.position(), 4);
        b >> second;
        EXPECT_EQ(first, 1);
        EXPECT_EQ(second, 2);

        EXPECT_EQ(a.Flush(), 1);
        EXPECT_EQ(a.position(), 0);
        a << 9;  // rewrites the first four bytes only
        const unsigned char expected[8] = {9, 0, 0, 0, 2, 0, 0, 0};
        EXPECT_EQ(memcmp(a.data(), expected, 8), 0);

        int again = 0;
        a.Flush();
        a >> again;
        EXPECT_EQ(again, 9);
    }
    EXPECT_TRUE(segmentIsGone(name));
    EXPECT_EQ(leftovers(name), std::vector<std::string>());
}

TEST(StreamSharedMemory, OpenCreatesA256ByteDataAreaAndKeepsAnExistingSize) {
    const std::string name = zoltest::uniqueName("shm-size");
    {
        CZolStreamSharedMemory creator;
        ASSERT_EQ(creator.Open(name.c_str()), 1);
        // The whole 256-byte data area takes a group in one Write and gives it back.
        std::vector<unsigned char> block(256);
        for (unsigned int i = 0; i < block.size(); ++i) {
            block[i] = static_cast<unsigned char>(255 - i);
        }
        EXPECT_EQ(creator.Write(block.data(), 256), 256u);
        CZolStreamSharedMemory joiner(name.c_str(), 10);  // attaches: 10 plays no part
        CZolStreamBuffer group(1, 256);
        EXPECT_EQ(group.Fill(joiner), 1);
        EXPECT_EQ(group.GetLength(), 256u);
        std::vector<unsigned char> back(256);
        group.Read(back.data(), 256);
        EXPECT_EQ(back, block);
    }
    EXPECT_TRUE(segmentIsGone(name));
}

TEST(StreamSharedMemory, ValuesTravelBothWaysBetweenProcesses) {
    const std::string name = zoltest::uniqueName("shm-echo");
    zoltest::TempDir dir;
    {
        CZolStreamSharedMemory stream;
        ASSERT_EQ(stream.Open(name.c_str()), 1);
        pid_t peer = zoltest::spawnHelper(kPeer, {"echo", name, dir.path()});
        ASSERT_TRUE(zoltest::waitUntil([&] { return exists(dir.path() + "/ready"); }, kBoundMs));

        // One group, one Write: int, bool, unsigned int.
        CZolStreamBuffer group(0, 9);
        group << -21 << true << 0xFFFFFFFEu;
        stream.Flush();
        EXPECT_EQ(group.Flush(stream), 1);
        dir.writeFile("go", "");
        ASSERT_TRUE(zoltest::waitUntil([&] { return exists(dir.path() + "/done"); }, kBoundMs));

        int doubled = 0;
        bool negated = true;
        unsigned int incremented = 0;
        stream.Flush();
        stream >> doubled >> negated >> incremented;
        EXPECT_EQ(doubled, -42);
        EXPECT_FALSE(negated);
        EXPECT_EQ(incremented, 0xFFFFFFFFu);
        EXPECT_EQ(zoltest::exitCodeOf(zoltest::waitChild(peer, kBoundMs)), 0);
    }
    EXPECT_TRUE(segmentIsGone(name));
    EXPECT_EQ(leftovers(name), std::vector<std::string>());
}

TEST(StreamSharedMemory, ConcurrentReadersInOtherProcessesDoNotDisturbEachOther) {
    const std::string name = zoltest::uniqueName("shm-readers");
    zoltest::TempDir dir;
    constexpr int kValues = 60;  // 240 bytes, within the 256-byte data area
    {
        StreamProbe writer;
        ASSERT_EQ(writer.Open(name.c_str()), 1);
        long expectedSum = 0;
        for (int i = 1; i <= kValues; ++i) {
            writer << i * 1000;
            expectedSum += i * 1000;
        }
        std::vector<unsigned char> before(writer.data(), writer.data() + 256);

        std::vector<pid_t> readers;
        for (const char* tag : {"a", "b"}) {
            readers.push_back(zoltest::spawnHelper(
                kPeer, {"sum", name, dir.path(), tag, std::to_string(kValues)}));
        }
        ASSERT_TRUE(zoltest::waitUntil(
            [&] { return exists(dir.path() + "/ready-a") && exists(dir.path() + "/ready-b"); },
            kBoundMs));
        dir.writeFile("go", "");
        for (pid_t reader : readers) {
            EXPECT_EQ(zoltest::exitCodeOf(zoltest::waitChild(reader, kBoundMs)), 0);
        }
        EXPECT_EQ(readFile(dir.path() + "/sum-a"), std::to_string(expectedSum));
        EXPECT_EQ(readFile(dir.path() + "/sum-b"), std::to_string(expectedSum));
        EXPECT_EQ(std::vector<unsigned char>(writer.data(), writer.data() + 256), before);
        EXPECT_EQ(writer.position(), kValues * 4);
    }
    EXPECT_TRUE(segmentIsGone(name));
}
