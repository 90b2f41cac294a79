// The named-object store: what one name costs, and whether it depends on the others.
//
// BM_CreateCloseMutex/N creates and closes one named mutex while this process holds N other
// named mutexes (the time should not grow with N). BM_OpenCloseHeldByOthers/N opens and
// closes a named mutex that N other processes hold (nor with N: every open and close looks
// at a bounded number of holders). BM_OpenCloseSegment opens and closes a
// segment that another object keeps, by name, with its named mutex (CZolSharedMemory);
// BM_RawShmOpenClose does the same work on the raw peer: shm_open, fstat, mmap, a robust
// process-shared mutex in the segment around the count, munmap and close.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "CZolMutex.h"
#include "CZolSharedMemory.h"

namespace {

std::string benchName(const std::string& tag) {
    return "zolbench-" + tag + "-" + std::to_string(getpid());
}

void BM_CreateCloseMutex(benchmark::State& state) {
    std::vector<std::unique_ptr<CZolMutex>> others;
    for (int64_t i = 0; i < state.range(0); ++i) {
        others.emplace_back(new CZolMutex(0, benchName("held" + std::to_string(i)).c_str(), 0));
    }
    const std::string name = benchName("one");
    for (auto _ : state) {
        CZolMutex mutex(0, name.c_str(), 0);
        benchmark::DoNotOptimize(&mutex);
    }
}
BENCHMARK(BM_CreateCloseMutex)->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_OpenCloseHeldByOthers(benchmark::State& state) {
    const std::string name = benchName("shared");
    std::vector<pid_t> others;
    int ready[2];
    if (pipe(ready) != 0) {
        state.SkipWithError("pipe failed");
        return;
    }
    for (int64_t i = 0; i < state.range(0); ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            CZolMutex held(0, name.c_str(), 0);
            char one = 1;
            if (write(ready[1], &one, 1) != 1) {
                _exit(1);
            }
            pause();  // until killed
            _exit(0);
        }
        others.push_back(pid);
        char got;
        if (pid < 0 || read(ready[0], &got, 1) != 1) {
            state.SkipWithError("a holder did not start");
            break;
        }
    }
    for (auto _ : state) {
        CZolMutex mutex(0, name.c_str(), 0);
        benchmark::DoNotOptimize(&mutex);
    }
    for (pid_t pid : others) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    close(ready[0]);
    close(ready[1]);
    CZolMutex last(0, name.c_str(), 0);  // takes the killed holders back
}
BENCHMARK(BM_OpenCloseHeldByOthers)->Arg(1)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_OpenCloseSegment(benchmark::State& state) {
    const std::string name = benchName("segment");
    CZolSharedMemory keeper(name.c_str(), 4096);
    for (auto _ : state) {
        CZolSharedMemory memory(name.c_str(), 4096);
        benchmark::DoNotOptimize(&memory);
    }
}
BENCHMARK(BM_OpenCloseSegment)->Unit(benchmark::kMicrosecond);

struct RawHead {
    pthread_mutex_t mutex;
    unsigned int count;
};

void BM_RawShmOpenClose(benchmark::State& state) {
    const std::string name = "/" + benchName("raw");
    int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0 || ftruncate(fd, 2 * 4096) != 0) {
        state.SkipWithError("shm_open failed");
        return;
    }
    auto* head =
        static_cast<RawHead*>(mmap(nullptr, 2 * 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    close(fd);
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(&head->mutex, &attr);
    for (auto _ : state) {
        int one = shm_open(name.c_str(), O_RDWR, 0);
        struct stat st;
        fstat(one, &st);
        auto* mine = static_cast<RawHead*>(mmap(nullptr, static_cast<size_t>(st.st_size),
                                                PROT_READ | PROT_WRITE, MAP_SHARED, one, 0));
        close(one);
        pthread_mutex_lock(&mine->mutex);
        ++mine->count;
        pthread_mutex_unlock(&mine->mutex);
        pthread_mutex_lock(&mine->mutex);
        --mine->count;
        pthread_mutex_unlock(&mine->mutex);
        munmap(mine, static_cast<size_t>(st.st_size));
    }
    munmap(head, 2 * 4096);
    shm_unlink(name.c_str());
}
BENCHMARK(BM_RawShmOpenClose)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
