// Segments and named files of the platform layer: exclusive allocation, and the objects that a
// dead process left.
#include <unistd.h>

#include <gtest/gtest.h>

#include "ZolTestSupport.h"
#include "qel.h"

using zoltest::Peer;

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

TEST(QelNamed, ADeadProcesssObjectsAreMadeAfreshAndOpeningOnlyRemovesThem) {
    const std::string name = zoltest::uniqueName("named");
    long mutex = 0, event = 0;
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
