// The reader-writer lock: the mutex-free read path, readers queued behind a writer, a writer
// waiting for the readers inside, the reader count's limit, stray unlocks, and an invariant
// under stress.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CZolRWLock.h"
#include "CZolRWLocker.h"
#include "ZolTestSupport.h"

namespace {

struct ProbeLock : CZolRWLock {
    using CZolRWLock::CZolRWLock;
    int readers() const { return __atomic_load_n(&m_nReaders, __ATOMIC_SEQ_CST); }
    int writers() const { return __atomic_load_n(&m_nWaitingWriters, __ATOMIC_SEQ_CST); }
};
struct CountingMutex : CZolMutex {
    std::atomic<int> calls{0};
    CountingMutex() : CZolMutex(0, nullptr, 0) {}
    int Lock(long timeout) override { return ++calls, CZolMutex::Lock(timeout); }
    int Unlock() override { return ++calls, CZolMutex::Unlock(); }
};

// Runs body on a thread; true once it finished within ms (else it is left to finish later).
bool finishes(std::thread& thread, std::atomic<bool>& done, int ms) {
    bool finished = zoltest::waitUntil([&] { return done.load(); }, ms);
    if (finished) {
        thread.join();
    }
    return finished;
}

TEST(RWLock, ReadersTouchNoMutexUntilAWriterComes) {
    ProbeLock none(static_cast<CZolMutex*>(nullptr));
    EXPECT_EQ(none.LockRead(), 0);
    none.UnlockRead(1);
    none.LockWrite();
    none.UnlockWrite();
    EXPECT_EQ(none.readers() + none.writers(), 0);
    { CZolRWLocker nothing(static_cast<CZolRWLock*>(nullptr), 1); }
    CountingMutex mutex;
    {
        ProbeLock lock(mutex);
        EXPECT_EQ(lock.LockRead() + lock.LockRead(), 0);
        EXPECT_EQ(lock.readers(), 2);
        lock.UnlockRead(0);
        lock.UnlockRead(0);
        { CZolRWLocker reader(lock, 0); }
        EXPECT_EQ(lock.readers() + mutex.calls, 0);
        { CZolRWLocker writer(&lock, 1); }
        EXPECT_EQ(mutex.calls, 2);
        lock.LockWrite();  // a reader now queues on the mutex and then holds it
        std::atomic<int> held{-1};
        std::thread reader([&] { lock.UnlockRead(held = lock.LockRead()); });
        EXPECT_FALSE(zoltest::waitUntil([&] { return held != -1; }, 50));
        lock.UnlockWrite();
        reader.join();
        EXPECT_EQ(held * 10 + lock.readers(), 10);
    }
    EXPECT_EQ(mutex.Lock(0) + mutex.Unlock(), 2);  // a given mutex outlives the lock
}

TEST(RWLock, WriterWaitsUntilTheReadersInsideHaveLeft) {
    ProbeLock lock;
    int first = lock.LockRead();
    int second = lock.LockRead();
    std::atomic<bool> done{false};
    std::thread writer([&] {
        lock.LockWrite();
        lock.UnlockWrite();
        done = true;
    });
    ASSERT_TRUE(zoltest::waitUntil([&] { return lock.writers() == 1; }, 5000));
    lock.UnlockRead(first);
    EXPECT_FALSE(zoltest::waitUntil([&] { return done.load(); }, 50));
    lock.UnlockRead(second);
    EXPECT_TRUE(finishes(writer, done, 5000));
    EXPECT_EQ(lock.writers(), 0);
}

// A full reader count sends further readers to the mutex instead of wrapping to a value that
// lets a writer in; a stray UnlockRead is refused and leaves the lock usable.
TEST(RWLock, ReaderCountSaturatesAndStrayUnlocksAreRefused) {
    ProbeLock lock;
    for (int held : {0, 1}) {
        lock.UnlockRead(held);  // no reader inside
        EXPECT_EQ(lock.readers(), 0);
        std::atomic<bool> done{false};
        std::thread writer([&] { lock.LockWrite(), lock.UnlockWrite(), done = true; });
        EXPECT_TRUE(finishes(writer, done, 5000));
    }
    int mutexHeld = 0;
    for (int i = 0; i < 65535; ++i) {
        mutexHeld += lock.LockRead();
    }
    EXPECT_EQ(mutexHeld * 100000 + lock.readers(), 165535);  // the last one holds the mutex
    std::atomic<bool> readDone{false}, writeDone{false};
    std::thread reader([&] { lock.UnlockRead(lock.LockRead()), readDone = true; });
    std::thread writer([&] { lock.LockWrite(), lock.UnlockWrite(), writeDone = true; });
    EXPECT_FALSE(zoltest::waitUntil([&] { return readDone || writeDone; }, 100));
    EXPECT_EQ(lock.readers(), 65535);
    for (int i = 0; i < 65534; ++i) {
        lock.UnlockRead(0);
    }
    lock.UnlockRead(1);
    EXPECT_TRUE(finishes(reader, readDone, 5000) && finishes(writer, writeDone, 5000));
    EXPECT_EQ(lock.readers(), 0);
}

// Writers keep two plain fields equal; readers check that they agree and that no writer is
// inside (the plain fields also let the thread sanitizer see a missing order).
TEST(RWLock, InvariantHoldsUnderStressWithReadersAndWriters) {
    CZolRWLock lock;
    long left = 0, right = 0;
    std::atomic<int> writersInside{0}, readersInside{0}, violations{0}, writersDone{0};
    std::vector<std::thread> threads;
    for (int w = 0; w < 2; ++w) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                CZolRWLocker writer(lock, 1);
                violations += writersInside++ != 0 || readersInside != 0;
                ++left;
                ++right;
                --writersInside;
            }
            ++writersDone;
        });
    }
    for (int r = 0; r < 3; ++r) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000 || writersDone < 2; ++i) {
                CZolRWLocker reader(lock, 0);
                ++readersInside;
                violations += writersInside != 0 || left != right;
                --readersInside;
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    EXPECT_EQ(violations, 0);
    EXPECT_EQ(left, 4000);
}

}  // namespace
