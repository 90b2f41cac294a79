// The soak, a stress program run by CI under its own label: eight forked workers of two
// threads each pass checksummed values through named segments (in as a stream buffer's group,
// out with one memcpy_shmem) and named events for ZOL_SOAK_SECONDS (default 15), while the test
// SIGKILLs a worker every 0.25 to 1.25 s and starts a replacement. It fails on a value that is
// neither whole nor torn by a kill, on a worker that hangs or fails, and on anything of the soak
// left once the tool has repaired the segments that killed workers still count as connected.
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>

#include <atomic>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "CZolEvent.h"
#include "CZolStreamBuffer.h"
#include "CZolStreamSharedMemory.h"
#include "ZolTestSupport.h"

#ifdef ZOL_TOOL_PATH

namespace {

constexpr int kWorkers = 8, kThreads = 2, kBoxes = kWorkers * kThreads;

// Shared by the test and every worker (an anonymous shared mapping made before the forks).
struct Board {
    std::atomic<unsigned long> stop, kills, bad, torn, received[kBoxes];
};

// The check word of a value {sender, sequence, payload, check}.
unsigned int checkOf(const unsigned int (&m)[4]) {
    return (m[0] * 2654435761u) ^ (m[1] * 40503u) ^ (m[2] * 97u) ^ 0x5A4F4C53u;
}

// One thread of a worker, with its own mailbox (segment and event prefix + box): sends values
// to the mailboxes of the other workers and checks what arrives in its own.
void work(Board* board, const std::string& prefix, unsigned int box) {
    std::minstd_rand random(static_cast<unsigned>(getpid() * 31 + box));
    CZolStreamSharedMemory own;
    own.Open((prefix + std::to_string(box)).c_str());
    CZolEvent arrived(0, 0, (prefix + std::to_string(box)).c_str());
    for (unsigned int seq = 1; board->stop == 0; ++seq) {
        // Every send opens and closes the target: segments come and go all the time.
        const unsigned int worker = (box / kThreads + 1 + random() % (kWorkers - 1)) % kWorkers;
        const std::string target = prefix + std::to_string(worker * kThreads + random() % kThreads);
        CZolStreamSharedMemory out;
        out.Open(target.c_str());
        unsigned int m[4] = {box, seq, static_cast<unsigned int>(random()), 0};
        m[3] = checkOf(m);
        CZolStreamBuffer group(0, sizeof m);  // one Write: a group reaches the segment whole
        group << m[0] << m[1] << m[2] << m[3];
        group.Flush(out);
        CZolEvent(0, 0, target.c_str()).SetEvent();
        out.Close();
        if (arrived.Lock(5) != 1)
            continue;
        memcpy_shmem(m, own, sizeof m);  // the stream's position stays at the data area's start
        // A fresh segment holds zeros; a writer killed in the middle of a copy leaves it torn.
        if (m[3] == checkOf(m))
            board->received[box]++;
        else if (m[1] != 0 || m[3] != 0)
            (board->kills > 0 ? board->torn : board->bad)++;
    }
}

TEST(Soak, WorkersExchangeWholeValuesWhileBeingKilled) {
    const char* text = getenv("ZOL_SOAK_SECONDS");
    const long seconds = text != nullptr && atoi(text) > 0 ? atoi(text) : 15;
    const std::string prefix = zoltest::uniqueName("soak") + "-";
    auto* board = static_cast<Board*>(
        mmap(nullptr, sizeof(Board), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(board, MAP_FAILED);
    auto start = [&](unsigned int worker) {
        return zoltest::forkChild([&] {
            std::thread other(work, board, prefix, worker * kThreads + 1);
            work(board, prefix, worker * kThreads);
            other.join();
            return 0;
        });
    };
    pid_t workers[kWorkers];
    for (int worker = 0; worker < kWorkers; ++worker)
        workers[worker] = start(worker);
    std::mt19937 random(std::random_device{}());
    for (auto began = std::chrono::steady_clock::now();
         zoltest::elapsedMs(began) < seconds * 1000;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250 + random() % 1000));
        const unsigned int worker = random() % kWorkers;
        board->kills++;  // first: the others may see what this kill tears at once
        kill(workers[worker], SIGKILL);
        zoltest::waitChild(workers[worker], zoltest::kBoundMs);
        workers[worker] = start(worker);
    }
    board->stop = 1;
    for (pid_t worker : workers)
        EXPECT_EQ(zoltest::exitCodeOf(zoltest::waitChild(worker, 60000)), 0);
    EXPECT_EQ(board->bad.load(), 0u);
    EXPECT_LE(board->torn.load(), board->kills.load());
    for (int box = 0; box < kBoxes; ++box) {
        EXPECT_GT(board->received[box].load(), 0u) << "mailbox " << box;
        // Status 1 "no segment named": no killed worker kept this one.
        zoltest::ProgramResult r =
            zoltest::runProgram(ZOL_TOOL_PATH, {"shm", "repair", prefix + std::to_string(box)});
        EXPECT_TRUE(r.exitCode == 0 ||
                    (r.exitCode == 1 && r.err.find("no segment named") != std::string::npos))
            << r.err;
    }
    EXPECT_EQ(zoltest::objectFiles(prefix), std::vector<std::string>());
    printf("soak: %ld s, %lu workers killed, %lu values torn by a kill\n", seconds,
           board->kills.load(), board->torn.load());
}

}  // namespace

#endif  // ZOL_TOOL_PATH
