// Synchronization costs against their standard peers: the reader-writer lock's read path,
// the light and process mutexes, event ping-pong between two threads, and thread start-up.
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include <benchmark/benchmark.h>

#include "CZolEvent.h"
#include "CZolLightMutex.h"
#include "CZolLocker.h"
#include "CZolMutex.h"
#include "CZolRWLock.h"
#include "CZolRWLocker.h"
#include "CZolThread.h"

namespace {

// ---- Read lock + unlock, one or two reader threads on the same lock ----

CZolRWLock& sharedRWLock() {
    static CZolRWLock lock;
    return lock;
}
std::shared_mutex g_sharedMutex;
pthread_rwlock_t g_pthreadRwLock = PTHREAD_RWLOCK_INITIALIZER;
unsigned short g_floorCounter;  // the floor: what any counting read path must do at least

void BM_Floor_AtomicIncDec(benchmark::State& state) {
    for (auto _ : state) {
        __atomic_add_fetch(&g_floorCounter, 1, __ATOMIC_SEQ_CST);
        __atomic_sub_fetch(&g_floorCounter, 1, __ATOMIC_SEQ_CST);
    }
}

void BM_ZolRWLock_Read(benchmark::State& state) {
    CZolRWLock& lock = sharedRWLock();
    for (auto _ : state) {
        CZolRWLocker reader(lock, 0);
        benchmark::ClobberMemory();
    }
}

void BM_SharedMutex_Read(benchmark::State& state) {
    for (auto _ : state) {
        std::shared_lock<std::shared_mutex> reader(g_sharedMutex);
        benchmark::ClobberMemory();
    }
}

void BM_PthreadRwlock_Read(benchmark::State& state) {
    for (auto _ : state) {
        pthread_rwlock_rdlock(&g_pthreadRwLock);
        benchmark::ClobberMemory();
        pthread_rwlock_unlock(&g_pthreadRwLock);
    }
}

// ---- Uncontended mutex ----

// glibc skips the atomic instructions of its mutexes while a process has never had a second
// thread; a library's mutex is used in threaded programs, so compare them there.
void becomeMultiThreaded() {
    static const bool done = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)done;
}

void BM_ZolLightMutex_Locker(benchmark::State& state) {
    becomeMultiThreaded();
    CZolLightMutex mutex(0);
    for (auto _ : state) {
        CZolLocker locker(mutex);
        benchmark::ClobberMemory();
    }
}

void BM_StdMutex_LockGuard(benchmark::State& state) {
    becomeMultiThreaded();
    std::mutex mutex;
    for (auto _ : state) {
        std::lock_guard<std::mutex> guard(mutex);
        benchmark::ClobberMemory();
    }
}

void BM_ZolLightMutex_LockUnlock(benchmark::State& state) {
    becomeMultiThreaded();
    CZolLightMutex mutex(0);
    for (auto _ : state) {
        mutex.Lock(0xFFFFFFFF);
        benchmark::ClobberMemory();
        mutex.Unlock();
    }
}

void BM_StdMutex_LockUnlock(benchmark::State& state) {
    becomeMultiThreaded();
    std::mutex mutex;
    for (auto _ : state) {
        mutex.lock();
        benchmark::ClobberMemory();
        mutex.unlock();
    }
}

// CZolMutex is robust, recursive and process-shared: its peer is the same kind of pthread mutex.
void BM_ZolMutex_LockUnlock(benchmark::State& state) {
    becomeMultiThreaded();
    CZolMutex mutex(0, nullptr, 0);
    for (auto _ : state) {
        mutex.Lock(0xFFFFFFFF);
        benchmark::ClobberMemory();
        mutex.Unlock();
    }
}

void BM_RobustPthreadMutex_LockUnlock(benchmark::State& state) {
    becomeMultiThreaded();
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_t mutex;
    pthread_mutex_init(&mutex, &attr);
    for (auto _ : state) {
        pthread_mutex_lock(&mutex);
        benchmark::ClobberMemory();
        pthread_mutex_unlock(&mutex);
    }
    pthread_mutex_destroy(&mutex);
}

// ---- Two-thread ping-pong: one round trip per iteration ----

void BM_ZolEvent_PingPong(benchmark::State& state) {
    CZolEvent ping(0, 0, nullptr);
    CZolEvent pong(0, 0, nullptr);
    std::atomic<bool> stop{false};
    std::thread partner([&] {
        while (true) {
            ping.Lock(0xFFFFFFFF);
            if (stop.load(std::memory_order_acquire)) {
                return;
            }
            pong.SetEvent();
        }
    });
    for (auto _ : state) {
        ping.SetEvent();
        pong.Lock(0xFFFFFFFF);
    }
    stop.store(true, std::memory_order_release);
    ping.SetEvent();
    partner.join();
}

void BM_CondVar_PingPong(benchmark::State& state) {
    std::mutex mutex;
    std::condition_variable pingCv;
    std::condition_variable pongCv;
    bool pingSet = false;
    bool pongSet = false;
    bool stop = false;
    std::thread partner([&] {
        std::unique_lock<std::mutex> lock(mutex);
        while (true) {
            pingCv.wait(lock, [&] { return pingSet || stop; });
            if (stop) {
                return;
            }
            pingSet = false;
            pongSet = true;
            pongCv.notify_one();
        }
    });
    for (auto _ : state) {
        std::unique_lock<std::mutex> lock(mutex);
        pingSet = true;
        pingCv.notify_one();
        pongCv.wait(lock, [&] { return pongSet; });
        pongSet = false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    pingCv.notify_one();
    partner.join();
}

// ---- Thread create + run + end ----

class NoopThread : public CZolThread {
public:
    explicit NoopThread(CZolEvent& done) : done_(done) { m_bAutoDelete = 0; }
    int InitInstance() override { return 0; }
    int ExitInstance() override {
        done_.SetEvent();
        return 0;
    }

private:
    CZolEvent& done_;
};

void BM_ZolThread_CreateRunEnd(benchmark::State& state) {
    CZolEvent done(0, 0, nullptr);
    for (auto _ : state) {
        auto* thread = new NoopThread(done);
        thread->CreateThread(0);
        done.Lock(0xFFFFFFFF);
        delete thread;  // releases the handle (joins the thread once it has ended)
    }
}

// The same through ZolBeginThread, which also sets the priority.
void BM_ZolBeginThread_RunEnd(benchmark::State& state) {
    CZolEvent done(0, 0, nullptr);
    for (auto _ : state) {
        auto* thread = new NoopThread(done);
        ZolBeginThread(thread, 0, 0);
        done.Lock(0xFFFFFFFF);
        delete thread;
    }
}

void BM_StdThread_CreateJoin(benchmark::State& state) {
    for (auto _ : state) {
        std::thread thread([] { benchmark::ClobberMemory(); });
        thread.join();
    }
}

}  // namespace

BENCHMARK(BM_Floor_AtomicIncDec)->Threads(1)->Threads(2);
BENCHMARK(BM_ZolRWLock_Read)->Threads(1)->Threads(2);
BENCHMARK(BM_SharedMutex_Read)->Threads(1)->Threads(2);
BENCHMARK(BM_PthreadRwlock_Read)->Threads(1)->Threads(2);
BENCHMARK(BM_ZolLightMutex_Locker);
BENCHMARK(BM_StdMutex_LockGuard);
BENCHMARK(BM_ZolLightMutex_LockUnlock);
BENCHMARK(BM_StdMutex_LockUnlock);
BENCHMARK(BM_ZolMutex_LockUnlock);
BENCHMARK(BM_RobustPthreadMutex_LockUnlock);
BENCHMARK(BM_ZolEvent_PingPong)->UseRealTime();
BENCHMARK(BM_CondVar_PingPong)->UseRealTime();
BENCHMARK(BM_ZolThread_CreateRunEnd)->UseRealTime();
BENCHMARK(BM_ZolBeginThread_RunEnd)->UseRealTime();
BENCHMARK(BM_StdThread_CreateJoin)->UseRealTime();

BENCHMARK_MAIN();
