// Named files of the platform layer: what a dead process or a killed remover left.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ZolTestSupport.h"
#include "qel.h"
#include "qelStore.h"
#include "qelTesting.h"

using zoltest::Peer;

TEST(QelNamed, AFileLeftDeadByAKilledRemoverIsReplacedByTheNextCreation) {
    // A remover killed after marking the file dead but before unlinking it leaves it named.
    const std::string name = zoltest::uniqueName("dead");
    long mutex = 0, again = 0;
    ASSERT_EQ(QEL_OK, qelCreateUnlockedMutex(name.c_str(), &mutex));
    int fd = open((std::string(qelTestObjectDirectory()) + "/m." + name).c_str(), O_RDWR);
    auto* header = static_cast<qel::StoreHeader*>(
        mmap(nullptr, qel::kNamedFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    close(fd);
    ASSERT_NE(header, MAP_FAILED);
    header->state = qel::kStateDead;
    EXPECT_EQ(QEL_OK, qelCreateUnlockedMutex(name.c_str(), &again));
    munmap(header, qel::kNamedFileSize);
    qelCloseMutex(&again);
    qelCloseMutex(&mutex);
    EXPECT_EQ(zoltest::objectFiles(name), std::vector<std::string>());
}

TEST(QelNamed, ADeadProcesssObjectsAreMadeAfreshAndAForkedChildsOrOneHandlesCloseLeavesThem) {
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
    // A forked child's close and exit leave it to this process, as closing one of its
    // two handles does.
    EXPECT_EQ(0, Peer([&](Peer&) {
                     qelCloseMutex(&mutex);
                     exit(0);  // and the exit handlers
                     return 1;
                 }).finish());
    long again = 0;
    EXPECT_EQ(QEL_OK, qelOpenMutex(name.c_str(), &again));
    qelCloseMutex(&mutex);
    EXPECT_EQ(QEL_OK, qelOpenMutex(name.c_str(), &mutex));
    EXPECT_EQ(QEL_OK, qelLockMutex(mutex, 0));  // not the dead child's any more
    qelCloseMutex(&again);
    qelCloseMutex(&mutex);
    qelCloseEvent(&event);
    EXPECT_EQ(zoltest::objectFiles(name), std::vector<std::string>());
}

TEST(QelNamed, ASegmentIsOpenedAgainFromThisProcesssMappingOnlyWhileItsNameLeadsThere) {
    const std::string name = zoltest::uniqueName("again");
    long first = 0, second = 0;
    void *a = nullptr, *b = nullptr;
    ASSERT_EQ(QEL_OK, qelAllocShMem(name.c_str(), 16, &first, &a));
    ASSERT_EQ(QEL_OK, qelAttachShMem(name.c_str(), &second, &b));
    static_cast<char*>(a)[0] = 'x';
    EXPECT_EQ(static_cast<char*>(b)[0], 'x');
    EXPECT_EQ(QEL_OK, qelDeallocShMem(&second, &b));  // the name goes; first still maps it
    EXPECT_EQ(QEL_E_NOT_FOUND, qelAttachShMem(name.c_str(), &second, &b));
    EXPECT_EQ(QEL_OK, qelDetachShMem(&first, &a));
    qelRemoveKeyFile(name.c_str());
    EXPECT_EQ(zoltest::objectFiles(name), std::vector<std::string>());
}
