// Segments and named files of the platform layer: two processes sharing a segment, exclusive
// allocation, stale files of crashed processes, and damaged or planted files refused.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "ZolTestSupport.h"
#include "qel.h"

namespace {

std::string layerDirectory() {
    return "/dev/shm/zoltov-" + std::to_string(geteuid());
}

std::string keyFile(const std::string& name) {
    return "/opt/zol/ftok/" + name;
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

TEST(QelShMem, SegmentIsSharedByTwoProcessesAndAllocatedExclusively) {
    std::string name = zoltest::uniqueName("seg");
    long segment = 0;
    void* base = nullptr;
    EXPECT_EQ(QEL_E_NOT_FOUND, qelAttachShMem(name.c_str(), &segment, &base));
    ASSERT_EQ(QEL_OK, qelAllocShMem(name.c_str(), 100000, &segment, &base));
    ASSERT_NE(nullptr, base);
    auto* bytes = static_cast<unsigned char*>(base);
    EXPECT_EQ(0, bytes[0]);
    EXPECT_EQ(0, bytes[99999]);  // zero-filled to the end
    std::strcpy(reinterpret_cast<char*>(bytes), "from parent");
    bool keyCreated = exists(keyFile(name));
    if (access("/opt/zol/ftok", W_OK) == 0) {
        EXPECT_TRUE(keyCreated);
    }
    long second = 0;
    void* secondBase = nullptr;
    EXPECT_EQ(QEL_E_EXISTS, qelAllocShMem(name.c_str(), 10, &second, &secondBase));
    EXPECT_EQ(0, second);
    pid_t child = zoltest::forkChild([&] {
        long mine = 0;
        void* mineBase = nullptr;
        if (qelAttachShMem(name.c_str(), &mine, &mineBase) != QEL_OK)
            return 1;
        auto* text = static_cast<char*>(mineBase);
        if (std::strcmp(text, "from parent") != 0)
            return 2;
        std::strcpy(text + 99990, "child");
        return qelDetachShMem(&mine, &mineBase) == QEL_OK && mine == 0 && mineBase == nullptr ? 0
                                                                                              : 3;
    });
    EXPECT_EQ(0, zoltest::exitCodeOf(zoltest::waitChild(child, 10000)));
    EXPECT_STREQ("child", reinterpret_cast<char*>(bytes + 99990));
    long copy = segment;
    EXPECT_EQ(QEL_OK, qelDeallocShMem(&segment, &base));
    EXPECT_EQ(0, segment);
    EXPECT_EQ(nullptr, base);
    EXPECT_NE(QEL_OK, qelDetachShMem(&copy, &base));
    EXPECT_NE(QEL_OK, qelDeallocShMem(&copy, &base));
    EXPECT_EQ(QEL_E_NOT_FOUND, qelAttachShMem(name.c_str(), &segment, &base));
    if (keyCreated) {
        unlink(keyFile(name).c_str());  // the library's job above this layer
    }
}

TEST(QelShMem, StaleNamedFileOfACrashedProcessIsReinitialised) {
    std::string name = zoltest::uniqueName("stale");
    // A child creates a named mutex and event, takes the mutex, sets the event and dies
    // without closing anything.
    pid_t child = zoltest::forkChild([&] {
        long mutex = 0, event = 0;
        if (qelCreateUnlockedMutex(name.c_str(), &mutex) != QEL_OK)
            return 1;
        if (qelCreateEvent(name.c_str(), &event) != QEL_OK)
            return 2;
        qelLockMutex(mutex, 0);
        qelSetEvent(event);
        _exit(0);
    });
    ASSERT_EQ(0, zoltest::exitCodeOf(zoltest::waitChild(child, 10000)));
    // Nobody holds them any more: opening-existing finds nothing, creating starts afresh.
    long mutex = 0, event = 0;
    EXPECT_EQ(QEL_E_NOT_FOUND, qelOpenMutex(name.c_str(), &mutex));
    ASSERT_EQ(QEL_OK, qelCreateEvent(name.c_str(), &event));
    EXPECT_EQ(QEL_E_TIMEOUT, qelWaitEvent(event, 0));
    ASSERT_EQ(QEL_OK, qelCreateUnlockedMutex(name.c_str(), &mutex));
    EXPECT_EQ(QEL_OK, qelLockMutex(mutex, 0));
    EXPECT_EQ(QEL_OK, qelUnlockMutex(mutex));
    qelCloseMutex(&mutex);
    qelCloseEvent(&event);
    EXPECT_EQ(QEL_E_NOT_FOUND, qelOpenMutex(name.c_str(), &mutex));
}

// Damaged or planted files in the layer's directory give a status, never a crash or a write
// through a link.
TEST(QelShMem, DamagedOrPlantedFilesAreRefused) {
    std::string eventName = zoltest::uniqueName("bad"), linkName = zoltest::uniqueName("lnk");
    std::string segmentName = zoltest::uniqueName("badseg");
    long event = 0, segment = 0;
    void* base = nullptr;
    ASSERT_EQ(QEL_OK, qelCreateEvent(eventName.c_str(), &event));
    ASSERT_EQ(QEL_OK, qelAllocShMem(segmentName.c_str(), 16, &segment, &base));
    struct Damage {
        std::string file;
        off_t offset;
        unsigned long long value;
    };
    const Damage damages[] = {
        {layerDirectory() + "/e." + eventName, 0, 0x1234},         // magic
        {layerDirectory() + "/s." + segmentName, 40, 1ull << 40},  // segment size
    };
    for (const Damage& damage : damages) {
        int fd = open(damage.file.c_str(), O_RDWR);
        ASSERT_GE(fd, 0) << damage.file;
        ASSERT_EQ(8, pwrite(fd, &damage.value, 8, damage.offset));
        close(fd);
    }
    // The parent still holds the event, so the file is not stale: another process must
    // refuse it rather than trust it.
    pid_t child = zoltest::forkChild([&] {
        long other = 0;
        void* otherBase = nullptr;
        if (qelCreateEvent(eventName.c_str(), &other) != QEL_E_CORRUPT)
            return 1;
        if (qelAttachShMem(segmentName.c_str(), &other, &otherBase) != QEL_E_CORRUPT)
            return 2;
        return 0;
    });
    EXPECT_EQ(0, zoltest::exitCodeOf(zoltest::waitChild(child, 10000)));
    zoltest::TempDir temp;
    std::string target = temp.writeFile("target", "untouched");
    std::string planted = layerDirectory() + "/m." + linkName;
    ASSERT_EQ(0, symlink(target.c_str(), planted.c_str()));
    long mutex = 0;
    EXPECT_NE(QEL_OK, qelCreateUnlockedMutex(linkName.c_str(), &mutex));
    EXPECT_NE(QEL_OK, qelOpenMutex(linkName.c_str(), &mutex));
    EXPECT_EQ(0, mutex);
    unlink(planted.c_str());
    struct stat st;
    ASSERT_EQ(0, stat(target.c_str(), &st));
    EXPECT_EQ(9, st.st_size);
    EXPECT_EQ(QEL_OK, qelDeallocShMem(&segment, &base));
    qelCloseEvent(&event);
    unlink(keyFile(segmentName).c_str());
}

}  // namespace
