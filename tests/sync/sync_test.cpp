// The sync classes, where they add to the platform layer: mutex constructors, the light
// mutex's ignored timeout, event reset modes, copies and wrappers, the wait functions' results
// and bad arguments, the scoped locks, the reader-writer lock (its mutex-free read path, its
// counter limit and stray unlocks), and threads (start, end, auto delete, every way a body
// can end).
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "CZolEvent.h"
#include "CZolLightMutex.h"
#include "CZolLocker.h"
#include "CZolMutex.h"
#include "CZolRWLock.h"
#include "CZolRWLocker.h"
#include "CZolSingleLock.h"
#include "CZolThread.h"
#include "ZolTestSupport.h"

namespace {

using zoltest::Results;

bool isSet(CZolEvent& event) {
    CZolEvent probe(static_cast<long>(event));  // a wrapper: manual, so this never resets
    return SyncWaitForSingleEvent(probe, 0) == 0;
}
struct Name : CZolSyncObject {
    static const char* of(const CZolSyncObject& o) { return (o.*(&Name::m_strName)).c_str(); }
};
struct ProbeEvent : CZolEvent {
    using CZolEvent::CZolEvent;
    using CZolEvent::operator=;
    int owns() const { return m_bOwnsHandle; }
};
int lockedElsewhere(CZolSyncObject& object) {
    return zoltest::onOtherThread([&] { return object.Lock(0) ? (object.Unlock(), 1) : 0; });
}

TEST(Mutex, ConstructorsOwnOpenAndFailQuietly) {
    std::string name = zoltest::uniqueName("mtx");
    CZolMutex owned(1, name.c_str(), 0);
    EXPECT_STREQ(Name::of(owned), name.c_str());
    EXPECT_EQ(lockedElsewhere(owned), 0);
    CZolMutex opened(1, name.c_str(), 1);  // opens without taking it
    EXPECT_EQ(owned.Unlock(), 1);
    EXPECT_EQ(lockedElsewhere(opened), 1);
    CZolMutex missing(1, zoltest::uniqueName("none").c_str(), 1);
    EXPECT_EQ(Results({static_cast<long>(missing), missing.Lock(0), missing.Unlock()}),
              Results(3, 0));
    CZolLightMutex light(1);
    Results got;
    std::atomic<bool> done{false};
    std::thread other([&] { got = Results({light.Lock(0), light.Unlock()}), done = true; });
    EXPECT_FALSE(zoltest::waitUntil([&] { return done.load(); }, 100));  // Lock(0) waits
    EXPECT_EQ(light.Unlock(), 1);
    other.join();
    EXPECT_EQ(got, Results({1, 1}));
}

// A process mutex whose owner died holding it is handed over, and it stays a working mutex:
// both processes that use it lock and unlock it again and again, and it still keeps one out
// while the other holds it.
TEST(Mutex, RecoveredFromADeadOwnerKeepsWorkingInEveryProcess) {
    const std::string name = zoltest::uniqueName("dead");
    CZolMutex mine(0, name.c_str(), 0);
    auto dies = [&] { return new CZolMutex(1, name.c_str(), 0), raise(SIGKILL); };
    ASSERT_EQ(zoltest::runChild(dies, zoltest::kBoundMs), -1);
    zoltest::Peer other([&](zoltest::Peer& p) {
        CZolMutex mutex(0, name.c_str(), 0);
        for (std::string step; !(step = p.receive()).empty();)
            p.send(std::to_string(step == "unlock" ? mutex.Unlock()
                                                   : mutex.Lock(step == "try" ? 0 : 5000)));
        return 0;
    });
    auto its = [&](const char* step) { return std::stoll("0" + other.ask(step)); };
    for (int cycle = 0; cycle < 3; ++cycle)  // the first Lock takes it over from the dead owner
        EXPECT_EQ(Results({mine.Lock(5000), its("try"), mine.Unlock(), its("lock"), mine.Lock(0),
                           its("unlock")}),
                  Results({1, 0, 1, 1, 0, 1}))
            << cycle;
}

TEST(Event, ResetModesWrappersCopiesAndAssignment) {
    CZolEvent autoReset(1, 0, zoltest::uniqueName("ev").c_str());
    EXPECT_EQ(Results({autoReset.Lock(0xFFFFFFFF), isSet(autoReset),
                       SyncWaitForSingleEvent(autoReset, 10)}),
              Results({1, 0, 258}));
    CZolEvent manual(0, 1, nullptr);
    EXPECT_EQ(Results({manual.SetEvent(), manual.Lock(0), manual.Lock(0), manual.Unlock(),
                       isSet(manual), manual.ResetEvent(), isSet(manual)}),
              Results({1, 1, 1, 1, 1, 1, 0}));
    ProbeEvent owner(0, 0, "");
    {
        ProbeEvent wrapper(static_cast<long>(owner)), copy(owner), copyOfCopy(copy);
        wrapper.SetEvent();
        // The wrapper does not reset; the copy does.
        EXPECT_EQ(Results({wrapper.Lock(0), wrapper.Lock(0), copyOfCopy.Lock(0), isSet(owner)}),
                  Results({1, 1, 1, 0}));
        ProbeEvent target(0, 0, nullptr);
        target = ProbeEvent(0, 1, "src");
        EXPECT_EQ(Results({target.owns(), target.IsManual()}), Results({0, 1}));
    }
    EXPECT_EQ(Results({owner.SetEvent(), owner.Lock(0)}), Results(2, 1));  // nothing closed it
}

// Both wait-any forms: the lowest set index wins and only that event, if auto reset, is reset.
TEST(WaitAny, LowestSetIndexResetsOnlyThatEventAndBadArgumentsFail) {
    const struct {
        std::vector<int> manual, set;
        unsigned int expected;
        std::vector<int> setAfter;
    } cases[] = {
        {{0, 0, 0}, {0, 1, 0}, 1, {0, 0, 0}},
        {{1, 0, 0}, {0, 1, 1}, 1, {0, 0, 1}},
        {{1, 0}, {1, 1}, 0, {1, 1}},
        {{0, 1}, {0, 0}, 258, {0, 0}},
    };
    for (bool pointers : {false, true}) {
        for (const auto& c : cases) {
            std::vector<CZolEvent> events;
            events.reserve(c.set.size());
            std::vector<CZolEvent*> addresses;
            for (size_t i = 0; i < c.set.size(); ++i) {
                events.emplace_back(c.set[i], c.manual[i], nullptr);
                addresses.push_back(&events.back());
            }
            auto n = static_cast<unsigned int>(events.size());
            EXPECT_EQ(pointers ? SyncWaitForMultipleEventsPtr(n, addresses.data(), 20)
                               : SyncWaitForMultipleEvents(n, events.data(), 20),
                      c.expected);
            for (size_t i = 0; i < events.size(); ++i)
                EXPECT_EQ(isSet(events[i]), c.setAfter[i] != 0) << i;
        }
    }
    // Bad arguments give the failed-wait result; nothing crashes and nothing is reset (closed
    // handles: below).
    CZolEvent set(1, 0, nullptr);
    CZolEvent* withNull[2] = {&set, nullptr};
    EXPECT_EQ(Results(3, 0xFFFFFFFFu), Results({SyncWaitForMultipleEventsPtr(2, withNull, 0),
                                                SyncWaitForMultipleEventsPtr(1, nullptr, 0),
                                                SyncWaitForMultipleEvents(1, nullptr, 0)}));
    EXPECT_TRUE(isSet(set));
}

// A closed handle never reaches a later object, however often its record is reused: a kept
// wrapper of a closed event and a stale copy of a closed mutex meet every one of the next
// 65,600 events and mutexes made in their place, and reach none of them. Waits on the closed
// event fail, alone or among others.
TEST(Handles, AClosedHandleNeverReachesALaterObject) {
    auto* event = new CZolEvent(0, 1, nullptr);
    auto* mutex = new CZolMutex(0, nullptr, 0);
    CZolEvent wrapper(static_cast<long>(*event));
    CZolMutex copy(*mutex);  // shares the handle; its destruction closes nothing more
    delete event;
    delete mutex;
    int setLater = 0, lockedLater = 0;
    for (int i = 0; i < 65600; ++i) {
        CZolEvent laterEvent(0, 1, nullptr);
        CZolMutex laterMutex(0, nullptr, 0);
        setLater += wrapper.SetEvent();
        lockedLater += copy.Lock(0);
    }
    EXPECT_EQ(setLater, 0);
    EXPECT_EQ(lockedLater, 0);
    CZolEvent set(1, 1, nullptr);
    CZolEvent* withClosed[2] = {&wrapper, &set};
    EXPECT_EQ(SyncWaitForMultipleEventsPtr(2, withClosed, 0), 0xFFFFFFFFu);
    EXPECT_EQ(SyncWaitForSingleEvent(wrapper, 0), 0xFFFFFFFFu);
}

// A sync object whose answers the test chooses and whose calls it counts.
struct Scripted : CZolSyncObject {
    int lockResult = 1, unlockResult = 1, locks = 0, unlocks = 0;
    long lastTimeout = 0;
    Scripted() : CZolSyncObject(nullptr) {}
    int Lock(long timeout) override { return ++locks, lastTimeout = timeout, lockResult; }
    int Unlock() override { return ++unlocks, unlockResult; }
    void Trace() const override {}
};

TEST(ScopedLocks, StateFollowsTheObjectsAnswers) {
    Scripted object, refuses, failing;
    {
        CZolSingleLock lock(&object, 0);
        EXPECT_EQ(Results({object.locks, lock.IsLocked()}), Results({0, 0}));
        // Every call reaches the object.
        EXPECT_EQ(Results({lock.Lock(25), lock.Lock(30), object.lastTimeout}), Results({1, 1, 30}));
        EXPECT_EQ(Results({lock.Unlock(), lock.Unlock(), lock.IsLocked()}), Results(3, 0));
        refuses.unlockResult = 0;
        CZolSingleLock held(&refuses, 1);
        // Still held after the refused unlock: the destructor tries again.
        EXPECT_EQ(Results({refuses.lastTimeout, held.Unlock(), held.IsLocked()}),
                  Results({0xFFFFFFFFL, 1, 1}));
        failing.lockResult = 0;
        CZolSingleLock notHeld(&failing, 1);
    }
    EXPECT_EQ(Results({object.unlocks, refuses.unlocks, failing.unlocks}), Results({2, 2, 0}));
    CZolSingleLock none(nullptr, 1);
    EXPECT_EQ(Results({none.IsLocked(), none.Lock(0), none.Unlock()}), Results(3, 0));
    CZolMutex missing(0, zoltest::uniqueName("none").c_str(), 1);
    CZolLightMutex light(0);
    {
        CZolLocker a(missing), b(&light), c(static_cast<CZolMutex*>(nullptr));
        EXPECT_EQ(Results({light.Unlock(), light.Lock(0)}), Results(2, 1));  // held by the locker
    }
    EXPECT_EQ(light.Unlock(), 0);  // released at the end of the scope
}

struct ProbeLock : CZolRWLock {
    using CZolRWLock::CZolRWLock;
    int readers() const { return __atomic_load_n(&m_nReaders, __ATOMIC_SEQ_CST); }
    int writers() const { return __atomic_load_n(&m_nWaitingWriters, __ATOMIC_SEQ_CST); }
    int writing() const { return __atomic_load_n(&m_bWriting, __ATOMIC_SEQ_CST); }
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
    if (finished)
        thread.join();
    return finished;
}

TEST(RWLock, ReadersWritersTheReaderLimitAndStrayUnlocks) {
    ProbeLock none(static_cast<CZolMutex*>(nullptr));
    EXPECT_EQ(none.LockRead(), 0);
    none.UnlockRead(1);
    none.LockWrite();
    none.UnlockWrite();
    EXPECT_EQ(Results({none.readers(), none.writers()}), Results(2, 0));
    { CZolRWLocker nothing(static_cast<CZolRWLock*>(nullptr), 1); }
    CountingMutex mutex;
    {
        ProbeLock lock(mutex);
        EXPECT_EQ(Results({lock.LockRead(), lock.LockRead(), lock.readers()}), Results({0, 0, 2}));
        lock.UnlockRead(0);
        lock.UnlockRead(0);
        { CZolRWLocker reader(lock, 0); }
        EXPECT_EQ(Results({lock.readers(), mutex.calls}), Results(2, 0));
        { CZolRWLocker writer(&lock, 1); }
        EXPECT_EQ(mutex.calls, 2);
        lock.LockWrite();  // a reader now queues on the mutex and then holds it
        std::atomic<int> held{-1};
        std::thread reader([&] {
            CZolRWLocker locker(lock, 0);
            held = 1;
        });
        EXPECT_FALSE(zoltest::waitUntil([&] { return held != -1; }, 50));
        lock.UnlockWrite();
        reader.join();
        // The reader released the mutex it came in through.
        EXPECT_EQ(Results({held, lock.readers(), mutex.calls}), Results({1, 0, 6}));
    }
    EXPECT_EQ(Results({mutex.Lock(0), mutex.Unlock()}), Results(2, 1));  // it outlives the lock
    ProbeLock lock;  // a writer waits until the last reader inside has left
    int inside = lock.LockRead();
    std::atomic<bool> done{false};
    std::thread waiting([&] { lock.LockWrite(), lock.UnlockWrite(), done = true; });
    ASSERT_TRUE(zoltest::waitUntil([&] { return lock.writers() == 1; }, 5000));
    EXPECT_FALSE(zoltest::waitUntil([&] { return done.load(); }, 50));
    lock.UnlockRead(inside);
    EXPECT_TRUE(finishes(waiting, done, 5000));
    // A stray UnlockWrite (not the writer's) is refused: the write goes on, readers stay out.
    lock.LockWrite();
    zoltest::onOtherThread([&] { return lock.UnlockWrite(), 0; });
    EXPECT_EQ(lock.writing(), 1);
    lock.UnlockWrite();
    // A full reader count sends further readers to the mutex instead of wrapping to a value that
    // lets a writer in; a stray UnlockRead is refused and leaves the lock usable.
    for (int held : {0, 1}) {
        lock.UnlockRead(held);  // no reader inside
        EXPECT_EQ(lock.readers(), 0);
        std::atomic<bool> done{false};
        std::thread writer([&] { lock.LockWrite(), lock.UnlockWrite(), done = true; });
        EXPECT_TRUE(finishes(writer, done, 5000));
    }
    int mutexHeld = 0;
    for (int i = 0; i < 65535; ++i)
        mutexHeld += lock.LockRead();
    EXPECT_EQ(Results({mutexHeld, lock.readers()}), Results({1, 65535}));  // the last has the mutex
    std::atomic<bool> readDone{false}, writeDone{false};
    std::thread reader([&] { lock.UnlockRead(lock.LockRead()), readDone = true; });
    std::thread writer([&] { lock.LockWrite(), lock.UnlockWrite(), writeDone = true; });
    EXPECT_FALSE(zoltest::waitUntil([&] { return readDone || writeDone; }, 100));
    EXPECT_EQ(lock.readers(), 65535);
    for (int i = 0; i < 65534; ++i)
        lock.UnlockRead(0);
    lock.UnlockRead(1);
    EXPECT_TRUE(finishes(reader, readDone, 5000) && finishes(writer, writeDone, 5000));
    EXPECT_EQ(lock.readers(), 0);
}

// What a thread did, kept outside the object because the object may delete itself.
struct Record {
    std::atomic<int> inits{0}, exits{0}, destroyed{0}, runResult{-1};
    bool destroyedSoon() {
        return zoltest::waitUntil([&] { return destroyed == 1; }, 10000);
    }
};

struct ClientThread : CZolThread {
    Record& r;
    int init;
    std::function<void()> run, atExit;
    explicit ClientThread(Record& record, int initResult = 1, std::function<void()> body = nullptr,
                          std::function<void()> end = nullptr)
        : r(record), init(initResult), run(std::move(body)), atExit(std::move(end)) {}
    ~ClientThread() override { ++r.destroyed; }
    unsigned int Run() override {
        if (run)
            run();
        return static_cast<unsigned int>(r.runResult = static_cast<int>(CZolThread::Run()));
    }
    int InitInstance() override { return ++r.inits, init; }
    int ExitInstance() override {
        ++r.exits;
        if (atExit)
            atExit();
        return 0;
    }
};

// Suspended start with InitInstance 0: nothing runs until resumed, then Run is skipped,
// ExitInstance is not, and auto delete happens (turning it off after the start is too late).
// The end event does not stop the base Run; a kept object outlives its thread.
TEST(Thread, StartStopAutoDeleteAndEveryWayOut) {
    for (bool begin : {true, false}) {  // the two starts hold the thread back differently
        Record r;
        auto* thread = new ClientThread(r, 0);
        ASSERT_TRUE(begin ? ZolBeginThread(thread, 0, 1) == thread : thread->CreateThread(1) == 1);
        thread->m_bAutoDelete = 0;
        EXPECT_FALSE(zoltest::waitUntil([&] { return r.inits != 0; }, 100));
        EXPECT_EQ(thread->ResumeThread(), 1);
        ASSERT_TRUE(r.destroyedSoon());
        EXPECT_EQ(Results({r.inits, r.exits, r.runResult}), Results({1, 1, -1}));
    }
    Record kept;
    auto* mine = new ClientThread(kept);
    mine->m_bAutoDelete = 0;
    EXPECT_EQ(ZolBeginThread(mine, -3, 0), mine);
    EXPECT_EQ(mine->GetThreadPriority(), -3);
    EXPECT_EQ(mine->EndThread(), 1);
    EXPECT_FALSE(zoltest::waitUntil([&] { return kept.exits != 0; }, 50));
    mine->ExitThread(7);
    ASSERT_TRUE(zoltest::waitUntil([&] { return kept.exits == 1; }, 10000));
    EXPECT_EQ(kept.runResult, 7);
    EXPECT_FALSE(zoltest::waitUntil([&] { return kept.destroyed != 0; }, 50));
    delete mine;
    // A thread that ends at once (InitInstance fails) or leaves by pthread_exit from Run or from
    // ExitInstance still ends in order: ExitInstance once, then auto delete, and nothing touches
    // the object after that (the sanitizer builds catch a use after free).
    const struct {
        int init;
        std::function<void()> run, atExit;
    } cases[] = {
        {0, nullptr, nullptr},
        {1, [] { pthread_exit(nullptr); }, nullptr},
        {1, nullptr, [] { pthread_exit(nullptr); }},
    };
    for (const auto& c : cases) {
        for (int i = 0; i < 10; ++i) {
            Record r;
            auto* thread = new ClientThread(r, c.init, c.run, c.atExit);
            thread->ExitThread(0);
            ASSERT_EQ(thread->CreateThread(0), 1);
            ASSERT_TRUE(r.destroyedSoon());
            EXPECT_EQ(r.exits, 1);
        }
    }
}

// An exception ends the process with the library's message naming the thread; exit() ends it
// with its own status.
TEST(ThreadDeathTest, ExceptionsAndExitEndTheProcess) {
    auto startWith = [](std::function<void()> run) {
        static Record r;
        (new ClientThread(r, 1, std::move(run)))->CreateThread(0);
        pause();
    };
    EXPECT_EXIT(startWith([] { throw std::runtime_error("boom"); }),
                testing::KilledBySignal(SIGABRT),
                "uncaught exception in InitInstance or Run of thread [0-9]+ \\(.*ClientThread at "
                "0x[0-9a-f]+\\): boom");
    EXPECT_EXIT(startWith([] { exit(3); }), testing::ExitedWithCode(3), "");
}

}  // namespace
