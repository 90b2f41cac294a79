// The platform layer against the primitives it is built from: uncontended mutexes, event
// ping-pong between two threads and between two processes, and a mutex two processes contend
// for.
#include <benchmark/benchmark.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "qel.h"

namespace {

// ---- uncontended lock + unlock ----

// glibc drops the bus lock from its mutexes while a process has a single thread, which no
// program that needs a mutex is; a second, idle thread keeps every contender honest.
class OtherThreadAlive {
public:
    OtherThreadAlive() : thread_([this] { released_.get_future().wait(); }) {}
    ~OtherThreadAlive() {
        released_.set_value();
        thread_.join();
    }

private:
    std::promise<void> released_;
    std::thread thread_;
};

void BM_QelProcessMutex(benchmark::State& state) {
    OtherThreadAlive other;
    long mutex = 0;
    qelCreateUnlockedMutex(nullptr, &mutex);
    for (auto _ : state) {
        qelLockMutex(mutex, QEL_INFINITE);
        qelUnlockMutex(mutex);
    }
    qelCloseMutex(&mutex);
}
BENCHMARK(BM_QelProcessMutex);

void BM_QelNamedProcessMutex(benchmark::State& state) {
    OtherThreadAlive other;
    std::string name = "bench-platform-" + std::to_string(getpid());
    long mutex = 0;
    qelCreateUnlockedMutex(name.c_str(), &mutex);
    for (auto _ : state) {
        qelLockMutex(mutex, QEL_INFINITE);
        qelUnlockMutex(mutex);
    }
    qelCloseMutex(&mutex);
}
BENCHMARK(BM_QelNamedProcessMutex);

void BM_RobustSharedRecursivePthreadMutex(benchmark::State& state) {
    OtherThreadAlive other;
    pthread_mutex_t mutex;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&mutex, &attr);
    for (auto _ : state) {
        pthread_mutex_lock(&mutex);
        pthread_mutex_unlock(&mutex);
    }
    pthread_mutex_destroy(&mutex);
}
BENCHMARK(BM_RobustSharedRecursivePthreadMutex);

void BM_QelThreadMutex(benchmark::State& state) {
    OtherThreadAlive other;
    long mutex = 0;
    qelCreateUnlockedThreadMutex(nullptr, &mutex);
    for (auto _ : state) {
        qelLockThreadMutex(mutex, QEL_INFINITE);
        qelUnlockThreadMutex(mutex);
    }
    qelDeleteThreadMutex(&mutex);
}
BENCHMARK(BM_QelThreadMutex);

void BM_StdMutex(benchmark::State& state) {
    OtherThreadAlive other;
    std::mutex mutex;
    for (auto _ : state) {
        mutex.lock();
        mutex.unlock();
    }
}
BENCHMARK(BM_StdMutex);

// ---- two-thread ping-pong: one round trip per iteration ----

void BM_QelEventPingPong(benchmark::State& state) {
    long ping = 0, pong = 0;
    qelCreateEvent(nullptr, &ping);
    qelCreateEvent(nullptr, &pong);
    std::atomic<bool> stop{false};
    std::thread partner([&] {
        for (;;) {
            qelWaitEvent(ping, QEL_INFINITE);
            qelResetEvent(ping);
            if (stop)
                break;
            qelSetEvent(pong);
        }
    });
    for (auto _ : state) {
        qelSetEvent(ping);
        qelWaitEvent(pong, QEL_INFINITE);
        qelResetEvent(pong);
    }
    stop = true;
    qelSetEvent(ping);
    partner.join();
    qelCloseEvent(&ping);
    qelCloseEvent(&pong);
}
BENCHMARK(BM_QelEventPingPong)->UseRealTime();

long futex(uint32_t* word, int op, uint32_t value) {
    return syscall(SYS_futex, word, op, value, nullptr, nullptr, 0);
}

void BM_RawFutexPingPong(benchmark::State& state) {
    alignas(64) uint32_t ping = 0;
    alignas(64) uint32_t pong = 0;
    std::atomic<bool> stop{false};
    auto waitFor = [](uint32_t* word) {
        while (__atomic_exchange_n(word, 0u, __ATOMIC_ACQUIRE) == 0) {
            futex(word, FUTEX_WAIT_PRIVATE, 0);
        }
    };
    auto post = [](uint32_t* word) {
        __atomic_store_n(word, 1u, __ATOMIC_RELEASE);
        futex(word, FUTEX_WAKE_PRIVATE, 1);
    };
    std::thread partner([&] {
        for (;;) {
            waitFor(&ping);
            if (stop)
                break;
            post(&pong);
        }
    });
    for (auto _ : state) {
        post(&ping);
        waitFor(&pong);
    }
    stop = true;
    post(&ping);
    partner.join();
}
BENCHMARK(BM_RawFutexPingPong)->UseRealTime();

void BM_ConditionVariablePingPong(benchmark::State& state) {
    std::mutex mutex;
    std::condition_variable pingReady, pongReady;
    bool ping = false, pong = false, stop = false;
    std::thread partner([&] {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            pingReady.wait(lock, [&] { return ping; });
            ping = false;
            if (stop)
                break;
            pong = true;
            pongReady.notify_one();
        }
    });
    for (auto _ : state) {
        std::unique_lock<std::mutex> lock(mutex);
        ping = true;
        pingReady.notify_one();
        pongReady.wait(lock, [&] { return pong; });
        pong = false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
        ping = true;
    }
    pingReady.notify_one();
    partner.join();
}
BENCHMARK(BM_ConditionVariablePingPong)->UseRealTime();

// ---- the same ping-pong between two processes ----

void BM_QelNamedEventPingPongProcesses(benchmark::State& state) {
    std::string base = "bench-pingpong-" + std::to_string(getpid());
    std::string pingName = base + "-ping", pongName = base + "-pong";
    long ping = 0, pong = 0;
    qelCreateEvent(pingName.c_str(), &ping);
    qelCreateEvent(pongName.c_str(), &pong);
    auto* stop = static_cast<std::atomic<int>*>(
        mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    stop->store(0);
    pid_t child = fork();
    if (child == 0) {
        long childPing = 0, childPong = 0;
        qelCreateEvent(pingName.c_str(), &childPing);
        qelCreateEvent(pongName.c_str(), &childPong);
        for (;;) {
            if (qelWaitEvent(childPing, 10000) != QEL_OK)
                break;  // the parent vanished
            qelResetEvent(childPing);
            if (stop->load())
                break;
            qelSetEvent(childPong);
        }
        qelCloseEvent(&childPing);
        qelCloseEvent(&childPong);
        _exit(0);
    }
    for (auto _ : state) {
        qelSetEvent(ping);
        qelWaitEvent(pong, QEL_INFINITE);
        qelResetEvent(pong);
    }
    stop->store(1);
    qelSetEvent(ping);
    waitpid(child, nullptr, 0);
    munmap(stop, 4096);
    qelCloseEvent(&ping);
    qelCloseEvent(&pong);
}
BENCHMARK(BM_QelNamedEventPingPongProcesses)->UseRealTime();

void BM_RawSharedFutexPingPongProcesses(benchmark::State& state) {
    auto* words = static_cast<uint32_t*>(
        mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    uint32_t* ping = &words[0];
    uint32_t* pong = &words[16];
    uint32_t* stop = &words[32];
    auto waitFor = [](uint32_t* word) {
        while (__atomic_exchange_n(word, 0u, __ATOMIC_ACQUIRE) == 0) {
            futex(word, FUTEX_WAIT, 0);
        }
    };
    auto post = [](uint32_t* word) {
        __atomic_store_n(word, 1u, __ATOMIC_RELEASE);
        futex(word, FUTEX_WAKE, 1);
    };
    pid_t child = fork();
    if (child == 0) {
        for (;;) {
            waitFor(ping);
            if (__atomic_load_n(stop, __ATOMIC_ACQUIRE))
                break;
            post(pong);
        }
        _exit(0);
    }
    for (auto _ : state) {
        post(ping);
        waitFor(pong);
    }
    __atomic_store_n(stop, 1u, __ATOMIC_RELEASE);
    post(ping);
    waitpid(child, nullptr, 0);
    munmap(words, 4096);
}
BENCHMARK(BM_RawSharedFutexPingPongProcesses)->UseRealTime();

// ---- one named mutex locked and unlocked by two processes at once ----

// Most locks find the mutex held and wait, so this is the path that records its waiters for
// `zoltov locks`; the peer is the same robust mutex in memory the two processes share.
template <typename Lock, typename Unlock>
void contendWithChild(benchmark::State& state, Lock lock, Unlock unlock) {
    auto* stop = static_cast<std::atomic<int>*>(
        mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    stop->store(0);
    pid_t child = fork();
    if (child == 0) {
        while (stop->load(std::memory_order_relaxed) == 0) {
            lock(true);
            unlock(true);
        }
        _exit(0);
    }
    for (auto _ : state) {
        lock(false);
        unlock(false);
    }
    stop->store(1);
    waitpid(child, nullptr, 0);
    munmap(stop, 4096);
}

void BM_QelNamedMutexContendedProcesses(benchmark::State& state) {
    std::string name = "bench-contended-" + std::to_string(getpid());
    long parent = 0, child = 0;
    qelCreateUnlockedMutex(name.c_str(), &parent);
    contendWithChild(
        state,
        [&](bool inChild) {
            if (inChild && child == 0) {
                qelCreateUnlockedMutex(name.c_str(), &child);  // the child's own handle
            }
            qelLockMutex(inChild ? child : parent, QEL_INFINITE);
        },
        [&](bool inChild) { qelUnlockMutex(inChild ? child : parent); });
    qelCloseMutex(&parent);
}
BENCHMARK(BM_QelNamedMutexContendedProcesses)->UseRealTime();

void BM_RobustPthreadMutexContendedProcesses(benchmark::State& state) {
    auto* mutex =
        static_cast<pthread_mutex_t*>(mmap(nullptr, sizeof(pthread_mutex_t), PROT_READ | PROT_WRITE,
                                           MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(mutex, &attr);
    contendWithChild(
        state, [&](bool) { pthread_mutex_lock(mutex); },
        [&](bool) { pthread_mutex_unlock(mutex); });
    munmap(mutex, sizeof(pthread_mutex_t));
}
BENCHMARK(BM_RobustPthreadMutexContendedProcesses)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
