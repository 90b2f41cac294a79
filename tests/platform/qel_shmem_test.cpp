// Segments and named files of the platform layer: exclusive allocation, objects a forked child
// closes, stale files of a dead process, and the directory that goes with its last object.
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ZolTestSupport.h"
#include "qel.h"
#include "qelTesting.h"

using zoltest::Peer;

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
    // Fresh processes that wait through the forced fallback, which maps a shared wake-up word
    // in the directory as well.
    const std::string directory = qelTestObjectDirectory();
    const std::string helper = std::string(ZOL_TEST_HELPER_DIR) + "/qel_helper";
    const std::vector<zoltest::EnvChange> fallback = {{"ZOL_QEL_FORCE_WAITV_FALLBACK", "1"}};
    ASSERT_FALSE(zoltest::fileExists(directory));
    Peer waiter([&](Peer&) {
        return zoltest::runProgram(helper, {"ev", "10000"}, fallback).exitCode;
    });
    EXPECT_TRUE(zoltest::waitUntil([&] { return zoltest::listDirectory(directory).size() >= 2; },
                                   zoltest::kBoundMs));
    EXPECT_EQ(0, zoltest::runProgram(helper, {"ev"}, fallback).exitCode);
    EXPECT_EQ(0, waiter.finish());
    // Looking for a name that does not exist leaves nothing behind either.
    long missing = 0;
    EXPECT_EQ(QEL_E_NOT_FOUND, qelOpenMutex("none", &missing));
    EXPECT_FALSE(zoltest::fileExists(directory)) << directory << " outlived its last object";
}

TEST(QelShMem, SegmentIsAllocatedExclusivelyWholeAndUntilDeallocated) {
    const std::string name = zoltest::uniqueName("seg");
    long segment = 0, other = 0;
    void *base = nullptr, *otherBase = nullptr;
    ASSERT_EQ(QEL_OK, qelAllocShMem(name.c_str(), 100000, &segment, &base));
    static_cast<char*>(base)[99999] = 'x';  // mapped to its last byte
    EXPECT_EQ(QEL_E_EXISTS, qelAllocShMem(name.c_str(), 10, &other, &otherBase));
    long copy = segment;
    EXPECT_EQ(QEL_OK, qelDeallocShMem(&segment, &base));
    EXPECT_NE(QEL_OK, qelDeallocShMem(&copy, &base));  // a closed handle
    EXPECT_EQ(QEL_E_NOT_FOUND, qelAttachShMem(name.c_str(), &segment, &base));
    unlink(("/opt/zol/ftok/" + name).c_str());  // the library's job above this layer
}

TEST(QelNamed, ForkedChildsCloseLeavesTheObjectsAndADeadProcesssFilesAreReinitialised) {
    const std::string name = zoltest::uniqueName("named");
    long mutex = 0, event = 0, again = 0;
    ASSERT_EQ(QEL_OK, qelCreateUnlockedMutex(name.c_str(), &mutex));
    ASSERT_EQ(QEL_OK, qelCreateEvent(name.c_str(), &event));
    EXPECT_EQ(0,
              Peer([&](Peer&) { return qelCloseMutex(&mutex) | qelCloseEvent(&event); }).finish());
    EXPECT_EQ(QEL_OK, qelOpenMutex(name.c_str(), &again));
    qelCloseMutex(&again);
    qelCloseMutex(&mutex);
    qelCloseEvent(&event);
    EXPECT_EQ(zoltest::objectFiles(name), std::vector<std::string>());
    // A child takes the mutex, sets the event and dies without closing them: the next user
    // finds both as new.
    EXPECT_EQ(0, Peer([&](Peer&) {
                     return qelCreateUnlockedMutex(name.c_str(), &mutex) |
                            qelCreateEvent(name.c_str(), &event) | qelLockMutex(mutex, 0) |
                            qelSetEvent(event);
                 }).finish());
    EXPECT_EQ(QEL_E_NOT_FOUND, qelOpenMutex(name.c_str(), &mutex));
    ASSERT_EQ(QEL_OK, qelCreateEvent(name.c_str(), &event));
    EXPECT_EQ(QEL_E_TIMEOUT, qelWaitEvent(event, 0));
    ASSERT_EQ(QEL_OK, qelCreateUnlockedMutex(name.c_str(), &mutex));
    EXPECT_EQ(QEL_OK, qelLockMutex(mutex, 0));
    qelCloseMutex(&mutex);
    qelCloseEvent(&event);
    EXPECT_EQ(zoltest::objectFiles(name), std::vector<std::string>());
}
