// The multi-process soak: eight zol_soak_worker processes of four threads each pass
// checksummed messages through named segments and named events for ZOL_SOAK_SECONDS
// (default 15), while this coordinator SIGKILLs workers at random moments and starts
// replacements. It fails on any bad value, on a worker that stops making progress or ends by
// itself, on lost or mangled trace lines, and on any object of the soak left behind once the
// segments that killed workers still count as connected have been repaired with the tool.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "SoakBoard.h"
#include "ZolRunProgram.h"
#include "ZolTestSupport.h"

#ifdef ZOL_TOOL_PATH

namespace {

using namespace soak;
using Clock = std::chrono::steady_clock;

constexpr auto kStall = std::chrono::seconds(10);   // no progress this long is a hang
constexpr int kKillMinMs = 250, kKillMaxMs = 1250;  // time between two kills

int soakSeconds() {
    const char* text = getenv("ZOL_SOAK_SECONDS");
    int seconds = text != nullptr ? atoi(text) : 0;
    return seconds > 0 ? seconds : 15;
}

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

// Every file in the library's object directory whose name holds the soak's prefix.
std::vector<std::string> objectsLeft(const std::string& prefix) {
    std::vector<std::string> found;
    for (std::string dir :
         {"/dev/shm/zoltov-" + std::to_string(getuid()), std::string("/opt/zol/ftok")}) {
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* entry = readdir(d)) {
                if (strstr(entry->d_name, prefix.c_str()) != nullptr) {
                    found.push_back(dir + "/" + entry->d_name);
                }
            }
            closedir(d);
        }
    }
    return found;
}

class Soak {
public:
    Soak() : m_board(mapBoard(m_dir.path() + "/board", true)) {}

    void run(int seconds) {
        for (int slot = 0; slot < kSlots; ++slot) {
            spawn(slot, seconds);
        }
        const Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
        Clock::time_point nextKill = Clock::now() + pause();
        while (m_problems.empty() && Clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            checkWorkers();
            if (m_problems.empty() && Clock::now() >= nextKill &&
                m_board->generations < kMaxGenerations) {
                int slot = static_cast<int>(m_random() % kSlots);
                m_board->kills++;  // before the kill: workers may see what it tore at once
                kill(m_workers[slot].pid, SIGKILL);
                zoltest::waitChild(m_workers[slot].pid, 10000);
                m_killed.insert(m_workers[slot].generation);
                spawn(slot, seconds);
                nextKill = Clock::now() + pause();
            }
        }
        // After a problem nothing more is learnt from the others: stop them at once.
        m_board->stop = 1;
        for (Worker& w : m_workers) {
            if (w.pid <= 0) {
                continue;  // already reaped
            }
            if (!m_problems.empty()) {
                kill(w.pid, SIGKILL);
                m_killed.insert(w.generation);
            }
            int status = zoltest::waitChild(w.pid, 60000);
            if (m_problems.empty() && zoltest::exitCodeOf(status) != 0) {
                problem("worker of generation " + std::to_string(w.generation) +
                        " did not end cleanly, wait status " + std::to_string(status));
            }
        }
    }

    // Each complete line is "soak SLOT THREAD GENERATION SEQ" of the worker that wrote the
    // file, each thread's sequence numbers step by kTraceEvery; a cleanly ended worker's file
    // holds every line it traced, a killed one's may stop short, mid-line at most. No worker
    // wrote anything to stderr. Returns the number of trace lines.
    uint64_t checkOutputs() {
        uint64_t total = 0;
        for (uint32_t gen = 0; gen < m_board->generations; ++gen) {
            std::istringstream text(readAll(traceFile(gen)));
            bool killed = m_killed.count(gen) != 0;
            uint32_t expected[kThreads] = {};
            uint64_t lines = 0;
            std::string line;
            while (std::getline(text, line)) {
                unsigned slot, thread, g, seq;
                char again[64];
                bool parsed =
                    sscanf(line.c_str(), "soak %u %u %u %u", &slot, &thread, &g, &seq) == 4 &&
                    thread < kThreads;
                if (parsed) {
                    snprintf(again, sizeof again, "soak %u %u %u %u", slot, thread, g, seq);
                }
                if (text.eof() && killed) {
                    break;  // the last, possibly partial line of a killed worker
                }
                if (!parsed || line != again || slot != m_slotOf[gen] || g != gen ||
                    seq != (expected[thread] += kTraceEvery)) {
                    problem("trace of generation " + std::to_string(gen) + ": bad line '" + line +
                            "'");
                    break;
                }
                ++lines;
            }
            if (killed ? lines > m_board->traced[gen] : lines != m_board->traced[gen]) {
                problem("generation " + std::to_string(gen) + " traced " +
                        std::to_string(m_board->traced[gen]) + " lines, its file holds " +
                        std::to_string(lines));
            }
            total += lines;
            std::string errors = readAll(traceFile(gen) + ".err");
            if (!errors.empty()) {
                problem("generation " + std::to_string(gen) + " wrote to stderr:\n" +
                        errors.substr(0, 4000));
            }
        }
        return total;
    }

    // Segments that killed workers were connected to keep those connections in their count.
    // The tool's repair recounts them from the processes that map them (none by now) and
    // removes them, with whatever a worker killed half-way through an allocation left.
    // Returns how many segments it removed.
    int repairSegments() {
        int removed = 0;
        for (int slot = 0; slot < kSlots; ++slot) {
            for (int thread = 0; thread < kThreads; ++thread) {
                for (int lane = 0; lane < kLanes; ++lane) {
                    std::string name = laneName(m_prefix, slot, thread, lane);
                    zoltest::ProgramResult r =
                        zoltest::runProgram(ZOL_TOOL_PATH, {"shm", "repair", name});
                    EXPECT_EQ(r.exitCode, 0) << name << ": " << r.err;
                    removed += r.out.rfind("removed ", 0) == 0 ? 1 : 0;
                }
            }
        }
        return removed;
    }

    const std::string& prefix() const { return m_prefix; }
    Board* board() const { return m_board; }
    const std::vector<std::string>& problems() const { return m_problems; }
    size_t killCount() const { return m_killed.size(); }

private:
    struct Worker {
        pid_t pid = -1;
        uint32_t generation = 0;
        uint64_t progress[kThreads] = {};
        Clock::time_point changed[kThreads];
    };

    std::chrono::milliseconds pause() {
        return std::chrono::milliseconds(kKillMinMs + m_random() % (kKillMaxMs - kKillMinMs));
    }

    std::string traceFile(uint32_t generation) const {
        return m_dir.path() + "/trace-" + std::to_string(generation);
    }

    void spawn(int slot, int seconds) {
        uint32_t gen = m_board->generations++;
        m_slotOf.push_back(static_cast<uint32_t>(slot));
        Worker& w = m_workers[slot];
        w.generation = gen;
        w.pid = zoltest::spawnHelper(
            "zol_soak_worker", {m_dir.path() + "/board", m_prefix, std::to_string(slot),
                                std::to_string(gen), std::to_string(seconds), traceFile(gen)});
        for (int t = 0; t < kThreads; ++t) {
            w.progress[t] = m_board->progress[slot][t];
            w.changed[t] = Clock::now();
        }
    }

    void checkWorkers() {
        for (int slot = 0; slot < kSlots; ++slot) {
            Worker& w = m_workers[slot];
            int status = 0;
            if (waitpid(w.pid, &status, WNOHANG) == w.pid) {
                problem("worker " + std::to_string(slot) + " of generation " +
                        std::to_string(w.generation) + " ended by itself, wait status " +
                        std::to_string(status));
                w.pid = -1;
                continue;
            }
            for (int t = 0; t < kThreads; ++t) {
                uint64_t now = m_board->progress[slot][t];
                if (now != w.progress[t]) {
                    w.progress[t] = now;
                    w.changed[t] = Clock::now();
                } else if (Clock::now() - w.changed[t] > kStall) {
                    problem("thread " + std::to_string(t) + " of worker " + std::to_string(slot) +
                            " made no progress for 10 s");
                }
            }
        }
    }

    void problem(const std::string& text) { m_problems.push_back(text); }

    const std::string m_prefix = zoltest::uniqueName("soak");
    zoltest::TempDir m_dir;
    Board* m_board;
    std::mt19937 m_random{std::random_device{}()};
    Worker m_workers[kSlots];
    std::vector<uint32_t> m_slotOf;  // the slot of each generation
    std::set<uint32_t> m_killed;     // generations that were killed
    std::vector<std::string> m_problems;
};

TEST(Soak, WorkersExchangeValidValuesWhileBeingKilled) {
    const int seconds = soakSeconds();
    Soak soak;
    ASSERT_NE(soak.board(), nullptr);
    auto started = Clock::now();
    soak.run(seconds);
    double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    uint64_t traceLines = soak.checkOutputs();
    int repaired = soak.repairSegments();
    for (const std::string& p : soak.problems()) {
        ADD_FAILURE() << p;
    }
    EXPECT_EQ(objectsLeft(soak.prefix()), std::vector<std::string>{});

    Board& b = *soak.board();
    uint64_t sent = 0, received = 0, repeats = 0, empty = 0, torn = 0, bad = 0, reads = 0,
             writes = 0;
    for (int slot = 0; slot < kSlots; ++slot) {
        const SlotCounters& c = b.slots[slot];
        EXPECT_GT(c.received.load(), 0u) << "worker slot " << slot << " never received a value";
        sent += c.sent;
        received += c.received;
        repeats += c.repeats;
        empty += c.empty;
        torn += c.torn;
        bad += c.bad;
        reads += c.rwReads;
        writes += c.rwWrites;
    }
    EXPECT_EQ(bad, 0u);
    EXPECT_LE(torn, soak.killCount()) << "more torn messages than killed writers";
    EXPECT_GT(soak.killCount(), 0u);
    EXPECT_GT(reads, 0u);
    EXPECT_GT(writes, 0u);
    EXPECT_GT(traceLines, 0u);
    printf(
        "soak: %.1f s, %u processes started, %zu killed, %llu values sent, %llu received and "
        "verified (%llu read again, %llu empty, %llu torn by a kill), RW-lock %llu reads + %llu "
        "writes, "
        "%llu trace lines, %d segments repaired\n",
        elapsed, b.generations.load(), soak.killCount(), (unsigned long long)sent,
        (unsigned long long)received, (unsigned long long)repeats, (unsigned long long)empty,
        (unsigned long long)torn, (unsigned long long)reads, (unsigned long long)writes,
        (unsigned long long)traceLines, repaired);
}

}  // namespace

#endif  // ZOL_TOOL_PATH
