// Segments and named files of the platform layer: exclusive allocation, stale files of a dead
// process, and the directory of named objects that goes with its last object.
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ZolTestSupport.h"
#include "qel.h"
#include "qelTesting.h"

namespace {

// A name space of this program's own (inside the one it was given, if any), set before the
// platform layer reads it: no other run keeps the directory alive or sweeps a stale file.
const bool kPrivateSpace = [] {
    const char* given = getenv("ZOL_QEL_NAMESPACE");
    const std::string space = std::string(given ? given : "") + "t" + std::to_string(getpid());
    return setenv("ZOL_QEL_NAMESPACE", space.c_str(), 1) == 0;
}();

}  // namespace

TEST(QelDirectory, LastObjectTakesTheDirectoryWithIt) {
    // The exec'd helpers are fresh processes that read the forced fallback at start.
    setenv("ZOL_QEL_FORCE_WAITV_FALLBACK", "1", 1);
    const std::string directory = qelTestObjectDirectory();
    ASSERT_FALSE(zoltest::fileExists(directory));
    pid_t waiter = zoltest::spawnHelper("qel_helper", {"wait-event", "ev", "10000"});
    // Waiting through the fallback maps a shared wake-up word in the directory as well.
    EXPECT_TRUE(zoltest::waitUntil([&] { return zoltest::listDirectory(directory).size() >= 2; },
                                   zoltest::kBoundMs));
    pid_t setter = zoltest::spawnHelper("qel_helper", {"set-event", "ev"});
    EXPECT_EQ(0, zoltest::exitCodeOf(zoltest::waitChild(setter, zoltest::kBoundMs)));
    EXPECT_EQ(0, zoltest::exitCodeOf(zoltest::waitChild(waiter, zoltest::kBoundMs)));
    // Looking for a name that does not exist leaves nothing behind either.
    pid_t missing = zoltest::spawnHelper("qel_helper", {"lock-named", "none", "0"});
    EXPECT_EQ(1, zoltest::exitCodeOf(zoltest::waitChild(missing, zoltest::kBoundMs)));
    EXPECT_FALSE(zoltest::fileExists(directory)) << directory << " outlived its last object";
}

TEST(QelShMem, SegmentIsAllocatedExclusivelyAndMappedUntilDeallocated) {
    const std::string name = zoltest::uniqueName("seg");
    long segment = 0, other = 0;
    void *base = nullptr, *otherBase = nullptr;
    EXPECT_EQ(QEL_E_NOT_FOUND, qelAttachShMem(name.c_str(), &segment, &base));
    ASSERT_EQ(QEL_OK, qelAllocShMem(name.c_str(), 100000, &segment, &base));
    EXPECT_EQ(QEL_E_EXISTS, qelAllocShMem(name.c_str(), 10, &other, &otherBase));
    ASSERT_EQ(QEL_OK, qelAttachShMem(name.c_str(), &other, &otherBase));
    static_cast<char*>(base)[99999] = 'x';
    EXPECT_EQ('x', static_cast<char*>(otherBase)[99999]);
    EXPECT_EQ(QEL_OK, qelDetachShMem(&other, &otherBase));
    EXPECT_EQ(0, other);
    long copy = segment;
    EXPECT_EQ(QEL_OK, qelDeallocShMem(&segment, &base));
    EXPECT_EQ(nullptr, base);
    EXPECT_NE(QEL_OK, qelDeallocShMem(&copy, &base));  // a closed handle
    EXPECT_EQ(QEL_E_NOT_FOUND, qelAttachShMem(name.c_str(), &segment, &base));
    unlink(("/opt/zol/ftok/" + name).c_str());  // the library's job above this layer
}

TEST(QelShMem, FilesOfADeadProcessAreReinitialised) {
    const std::string stale = zoltest::uniqueName("stale");
    // A child takes a mutex, sets an event and dies without closing them.
    pid_t child = zoltest::forkChild([&] {
        long mutex = 0, event = 0;
        qelCreateUnlockedMutex(stale.c_str(), &mutex);
        qelCreateEvent(stale.c_str(), &event);
        return qelLockMutex(mutex, 0) | qelSetEvent(event);
    });
    ASSERT_EQ(0, zoltest::exitCodeOf(zoltest::waitChild(child, zoltest::kBoundMs)));
    long mutex = 0, event = 0;
    EXPECT_EQ(QEL_E_NOT_FOUND, qelOpenMutex(stale.c_str(), &mutex));
    ASSERT_EQ(QEL_OK, qelCreateEvent(stale.c_str(), &event));
    EXPECT_EQ(QEL_E_TIMEOUT, qelWaitEvent(event, 0));
    ASSERT_EQ(QEL_OK, qelCreateUnlockedMutex(stale.c_str(), &mutex));
    EXPECT_EQ(QEL_OK, qelLockMutex(mutex, 0));
    qelCloseMutex(&mutex);
    qelCloseEvent(&event);
    EXPECT_EQ(zoltest::objectFiles(stale), std::vector<std::string>());
}

TEST(QelNamed, ForkedChildClosingWhatItInheritedLeavesTheObjects) {
    const std::string name = zoltest::uniqueName("fork");
    long mutex = 0, event = 0, again = 0;
    ASSERT_EQ(QEL_OK, qelCreateUnlockedMutex(name.c_str(), &mutex));
    ASSERT_EQ(QEL_OK, qelCreateEvent(name.c_str(), &event));
    pid_t child = zoltest::forkChild([&] { return qelCloseMutex(&mutex) | qelCloseEvent(&event); });
    EXPECT_EQ(0, zoltest::exitCodeOf(zoltest::waitChild(child, zoltest::kBoundMs)));
    EXPECT_EQ(2u, zoltest::objectFiles(name).size());
    EXPECT_EQ(QEL_OK, qelOpenMutex(name.c_str(), &again));
    qelCloseMutex(&again);
    qelCloseMutex(&mutex);
    qelCloseEvent(&event);
    EXPECT_EQ(zoltest::objectFiles(name), std::vector<std::string>());
}
