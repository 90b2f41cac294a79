// Shared-memory copies and the two-process round trip of a group through the stream.
//
// BM_MemcpyShmem/N copies N bytes into a segment with memcpy_shmem (lock, copy, unlock);
// BM_BareMemcpy/N copies the same N bytes into the same mapping with plain memcpy, the
// floor. BM_RoundTrip256 sends a 256-byte group (sequence number + payload) from this
// process to a forked peer through one CZolStreamSharedMemory with
// CZolStreamBuffer::Flush(target); the peer polls with Fill(source) and echoes the group
// through a second segment; the time is one full request and reply.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "CZolSharedMemory.h"
#include "CZolStreamBuffer.h"
#include "CZolStreamSharedMemory.h"

namespace {

constexpr unsigned int kGroup = 256;
constexpr unsigned int kStop = 0xFFFFFFFFu;

std::string benchName(const char* tag) {
    return std::string("zolbench-") + tag + "-" + std::to_string(getpid());
}

void BM_MemcpyShmem(benchmark::State& state) {
    const unsigned int size = static_cast<unsigned int>(state.range(0));
    CZolSharedMemory memory(benchName("copy").c_str(), 64 * 1024);
    std::vector<unsigned char> source(size, 0x5A);
    for (auto _ : state) {
        benchmark::DoNotOptimize(memcpy_shmem(memory, source.data(), size));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}
BENCHMARK(BM_MemcpyShmem)->Arg(256)->Arg(64 * 1024);

void BM_BareMemcpy(benchmark::State& state) {
    const unsigned int size = static_cast<unsigned int>(state.range(0));
    CZolSharedMemory memory(benchName("bare").c_str(), 64 * 1024);
    std::vector<unsigned char> source(size, 0x5A);
    // memcpy_shmem returns the data area: the bare copies go to the same mapping.
    void* data = memcpy_shmem(memory, source.data(), 0);
    for (auto _ : state) {
        benchmark::DoNotOptimize(memcpy(data, source.data(), size));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}
BENCHMARK(BM_BareMemcpy)->Arg(256)->Arg(64 * 1024);

// A shared mapping headed by a robust, recursive, process-shared mutex (64 bytes) and data.
struct RobustSegment {
    static constexpr size_t kHead = 64;
    static void init(unsigned char* map) {
        pthread_mutexattr_t attr;
        pthread_mutexattr_init(&attr);
        pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        pthread_mutex_init(reinterpret_cast<pthread_mutex_t*>(map), &attr);
        pthread_mutexattr_destroy(&attr);
    }
    static void copy(unsigned char* map, const void* source, size_t size) {
        auto* mutex = reinterpret_cast<pthread_mutex_t*>(map);
        if (pthread_mutex_lock(mutex) == EOWNERDEAD) {
            pthread_mutex_consistent(mutex);
        }
        memcpy(map + kHead, source, size);
        pthread_mutex_unlock(mutex);
    }
};

void BM_RobustMutexMemcpy(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    const size_t length = RobustSegment::kHead + 64 * 1024;
    auto* map = static_cast<unsigned char*>(
        mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    RobustSegment::init(map);
    std::vector<unsigned char> source(size, 0x5A);
    for (auto _ : state) {
        RobustSegment::copy(map, source.data(), size);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
    munmap(map, length);
}
BENCHMARK(BM_RobustMutexMemcpy)->Arg(256)->Arg(64 * 1024);

// Another user keeps the segment alive, so each iteration opens an existing one.
void BM_ZolOpenCopyClose(benchmark::State& state) {
    const std::string name = benchName("open");
    CZolSharedMemory keeper(name.c_str(), 64 * 1024);
    std::vector<unsigned char> source(kGroup, 0x5A);
    for (auto _ : state) {
        CZolSharedMemory memory(name.c_str(), 64 * 1024);
        benchmark::DoNotOptimize(memcpy_shmem(memory, source.data(), kGroup));
    }
}
BENCHMARK(BM_ZolOpenCopyClose);

void BM_ShmOpenCopyClose(benchmark::State& state) {
    const std::string name = "/" + benchName("peer");
    const size_t length = RobustSegment::kHead + 64 * 1024;
    int keeper = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (keeper < 0 || ftruncate(keeper, static_cast<off_t>(length)) != 0) {
        state.SkipWithError("shm_open failed");
        return;
    }
    auto* head = static_cast<unsigned char*>(
        mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, keeper, 0));
    RobustSegment::init(head);
    std::vector<unsigned char> source(kGroup, 0x5A);
    for (auto _ : state) {
        int fd = shm_open(name.c_str(), O_RDWR, 0);
        auto* map = static_cast<unsigned char*>(
            mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        close(fd);
        RobustSegment::copy(map, source.data(), kGroup);
        benchmark::DoNotOptimize(map);
        munmap(map, length);
    }
    munmap(head, length);
    close(keeper);
    shm_unlink(name.c_str());
}
BENCHMARK(BM_ShmOpenCopyClose);

void sendGroup(CZolStreamSharedMemory& stream, unsigned int sequence,
               const std::vector<unsigned char>& payload) {
    CZolStreamBuffer group(0, kGroup);
    group << sequence;
    group.Write(const_cast<unsigned char*>(payload.data()), kGroup - 4);
    stream.Flush();
    group.Flush(stream);
}

// Polls stream until it holds a group other than previous; returns its sequence number.
unsigned int awaitGroup(CZolStreamSharedMemory& stream, unsigned int previous,
                        std::vector<unsigned char>& payload) {
    CZolStreamBuffer group(1, kGroup);
    for (;;) {
        stream.Flush();
        group.Fill(stream);  // one Read of the whole group under the mutex
        unsigned int sequence = 0;
        group >> sequence;
        group.Read(payload.data(), kGroup - 4);
        if (sequence != previous) {
            return sequence;
        }
        sched_yield();
    }
}

void BM_RoundTrip256(benchmark::State& state) {
    const std::string request = benchName("req");
    const std::string reply = benchName("rep");
    CZolStreamSharedMemory toPeer(request.c_str(), kGroup);
    CZolStreamSharedMemory fromPeer(reply.c_str(), kGroup);
    std::vector<unsigned char> payload(kGroup - 4, 0xA5);
    sendGroup(toPeer, 0, payload);
    sendGroup(fromPeer, 0, payload);

    pid_t peer = fork();
    if (peer == 0) {
        // The peer opens its own objects; the inherited ones are never touched (_exit).
        {
            CZolStreamSharedMemory in(request.c_str(), kGroup);
            CZolStreamSharedMemory out(reply.c_str(), kGroup);
            std::vector<unsigned char> echo(kGroup - 4);
            unsigned int last = 0;
            while ((last = awaitGroup(in, last, echo)) != kStop) {
                sendGroup(out, last, echo);
            }
        }
        _exit(0);
    }

    unsigned int sequence = 0;
    std::vector<unsigned char> back(kGroup - 4);
    for (auto _ : state) {
        ++sequence;
        sendGroup(toPeer, sequence, payload);
        if (awaitGroup(fromPeer, sequence - 1, back) != sequence || back != payload) {
            state.SkipWithError("the peer echoed something else");
            break;
        }
    }
    sendGroup(toPeer, kStop, payload);
    int status = 0;
    waitpid(peer, &status, 0);
}
BENCHMARK(BM_RoundTrip256)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
