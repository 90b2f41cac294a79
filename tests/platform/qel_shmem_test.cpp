// Named files of the platform layer: what a dead process or a killed remover left.
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ZolTestSupport.h"
#include "qel.h"
#include "qelStore.h"
#include "qelTesting.h"

using zoltest::Peer;

// The first page of the object file of a named mutex or event, mapped shared.
unsigned char* mapObjectFile(qel::ObjectType type, const std::string& name) {
    int fd = open(
        (std::string(qelTestObjectDirectory()) + "/" + qel::encodeName(type, name.c_str())).c_str(),
        O_RDWR);
    void* page = mmap(nullptr, qel::kNamedFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return page == MAP_FAILED ? nullptr : static_cast<unsigned char*>(page);
}

// A process that exits while another process's sweep holds its file's table lock for a
// moment still removes the file it was the last holder of.
TEST(QelNamed, AnExitWaitsForABrieflyBusyTableLock) {
    const std::string name = zoltest::uniqueName("busy");
    Peer holder([&](Peer& p) {
        long event = 0;
        qelCreateEvent(name.c_str(), &event);
        p.send("made");
        exit(p.receive().empty() ? 0 : 1);  // without closing, through the exit handlers
        return 0;
    });
    ASSERT_EQ(holder.receive(), "made");
    unsigned char* page = mapObjectFile(qel::ObjectType::Event, name);
    ASSERT_NE(page, nullptr);
    auto* lock = reinterpret_cast<pthread_mutex_t*>(page + qel::kTableLockOffset);
    ASSERT_EQ(0, pthread_mutex_lock(lock));
    holder.send("exit");
    usleep(30000);  // the holder is in its exit by now, or soon: either way it must wait
    pthread_mutex_unlock(lock);
    EXPECT_EQ(holder.finish(), 1);
    munmap(page, qel::kNamedFileSize);
    EXPECT_EQ(zoltest::objectFiles(name), std::vector<std::string>());
}

TEST(QelNamed, WhatADeadProcessOrKilledRemoverLeftIsMadeAfreshAndAForkedChildsCloseLeavesIt) {
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
    // A remover killed after marking the file dead but before unlinking it leaves it named:
    // the next creation replaces it, and the handles on either file close cleanly.
    unsigned char* page = mapObjectFile(qel::ObjectType::Mutex, name);
    ASSERT_NE(page, nullptr);
    reinterpret_cast<qel::StoreHeader*>(page)->state = qel::kStateDead;
    EXPECT_EQ(QEL_OK, qelCreateUnlockedMutex(name.c_str(), &again));
    munmap(page, qel::kNamedFileSize);
    EXPECT_EQ(
        zoltest::Results({qelCloseMutex(&again), qelCloseMutex(&mutex), qelCloseEvent(&event)}),
        zoltest::Results({QEL_OK, QEL_OK, QEL_OK}));
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
