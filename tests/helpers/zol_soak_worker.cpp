// zol_soak_worker BOARD PREFIX SLOT GENERATION SECONDS TRACEFILE - one worker of the soak.
//
// Four CZolThreads each own two mailboxes (named segments, each with a named auto-reset
// event). In a loop each thread sends one checksummed message to a random mailbox of another
// slot, through the stream operators or memcpy_shmem, and sets its event; then it waits on
// both of its own events at once and checks what arrived. Target connections are kept in a
// small cache with random eviction, so segments are opened and closed all the time. A
// worker-wide tally behind a CZolRWLock is updated by writers and checked by readers, and
// every 8th message is traced through g_Tracer into TRACEFILE.
//
// Runs until the board's stop flag, then closes everything and exits 0. Exit 2: a bad value
// was seen (details in TRACEFILE.err); 3: a thread did not stop; 4: a mailbox could not be opened.
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "../soak/SoakBoard.h"
#include "CZolEvent.h"
#include "CZolRWLock.h"
#include "CZolRWLocker.h"
#include "CZolStreamBuffer.h"
#include "CZolStreamSharedMemory.h"
#include "CZolThread.h"
#include "CZolTracer.h"

namespace {

using namespace soak;

constexpr size_t kCache = 6;        // open connections to other mailboxes, per thread
constexpr long kReceiveWaitMs = 5;  // a thread sends again at least this often

Board* g_board;
std::string g_prefix;
uint32_t g_slot, g_generation;
std::atomic<int> g_failed{0};

// Per-sender counts of the values this worker accepted, and their sum: a writer changes
// them one after the other, so a reader let in beside a writer sees them disagree.
CZolRWLock g_rwLock;
struct {
    uint64_t bySlot[kSlots];
    uint64_t total;
} g_tally;

void fail(const char* what, const Message* m = nullptr) {
    g_failed = 1;
    g_board->slots[g_slot].bad++;
    if (m == nullptr) {
        fprintf(stderr, "soak worker %u/%u: %s\n", g_slot, g_generation, what);
    } else {
        fprintf(stderr, "soak worker %u/%u: %s (from %u.%u gen %u seq %u, check %08x)\n", g_slot,
                g_generation, what, m->slot, m->thread, m->generation, m->seq, m->check);
    }
}

struct Mailbox {
    std::unique_ptr<CZolStreamSharedMemory> box = std::make_unique<CZolStreamSharedMemory>();
    std::unique_ptr<CZolEvent> signal;
    bool open(int slot, int thread, int lane) {
        signal =
            std::make_unique<CZolEvent>(0, 0, signalName(g_prefix, slot, thread, lane).c_str());
        return box->Open(laneName(g_prefix, slot, thread, lane).c_str()) == 1;
    }
};

class SoakThread : public CZolThread {
public:
    explicit SoakThread(uint32_t index) : m_index(index), m_random(g_generation * 131 + index) {
        m_bAutoDelete = 0;
    }
    std::atomic<bool> finished{false};

    unsigned int Run() override {
        Mailbox own[kLanes];
        for (int lane = 0; lane < kLanes; ++lane) {
            if (!own[lane].open(g_slot, m_index, lane)) {
                exit(4);
            }
        }
        CZolEvent* signals[kLanes] = {own[0].signal.get(), own[1].signal.get()};
        for (uint64_t round = 0; !__atomic_load_n(&m_bExit, __ATOMIC_ACQUIRE); ++round) {
            g_board->progress[g_slot][m_index]++;
            send();
            unsigned int index = SyncWaitForMultipleEventsPtr(kLanes, signals, kReceiveWaitMs);
            if (index < kLanes) {
                receive(*own[index].box, index);
            } else if (index != 258) {
                fail("wait on own mailboxes failed");
            }
            if (round % 16 == 0) {
                checkTally();
            }
        }
        m_cache.clear();
        return 0;
    }
    int ExitInstance() override {
        finished = true;  // the last touch of this object by its thread
        return 0;
    }

private:
    uint32_t word() { return static_cast<uint32_t>(m_random()); }

    void send() {
        int slot = (g_slot + 1 + m_random() % (kSlots - 1)) % kSlots;
        int thread = m_random() % kThreads, lane = m_random() % kLanes;
        auto key = std::make_tuple(slot, thread, lane);
        if (m_cache.find(key) == m_cache.end()) {
            if (m_cache.size() >= kCache) {
                m_cache.erase(std::next(m_cache.begin(), m_random() % m_cache.size()));
            }
            if (!m_cache[key].open(slot, thread, lane)) {
                exit(4);
            }
        }
        Mailbox& target = m_cache[key];
        Message m{kMagic, g_slot, m_index, g_generation, ++m_seq, word(), word(), 0};
        m.check = checksumOf(m);
        target.box->Flush();
        if (m_random() & 1) {
            CZolStreamBuffer group(0, sizeof m);
            group << m.magic << m.slot << m.thread << m.generation << m.seq << m.payload0
                  << m.payload1 << m.check;
            group.Flush(*target.box);
        } else {
            memcpy_shmem(*target.box, &m, sizeof m);
        }
        if (target.signal->SetEvent() != 1) {
            fail("SetEvent failed", &m);
        }
        g_board->slots[g_slot].sent++;
        if (m.seq % kTraceEvery == 0) {
            g_board->traced[g_generation]++;  // first: a killed worker's file never holds more
            g_Tracer.Trace("soak %u %u %u %u\n", g_slot, m_index, g_generation, m.seq);
        }
    }

    void receive(CZolStreamSharedMemory& box, unsigned int lane) {
        Message m{};
        box.Flush();
        if (m_random() & 1) {
            CZolStreamBuffer group(1, sizeof m);
            group.Fill(box);
            group >> m.magic >> m.slot >> m.thread >> m.generation >> m.seq >> m.payload0 >>
                m.payload1 >> m.check;
        } else {
            memcpy_shmem(&m, box, sizeof m);
        }
        SlotCounters& counters = g_board->slots[g_slot];
        static const Message kNeverWritten{};
        if (memcmp(&m, &kNeverWritten, sizeof m) == 0) {
            // A fresh segment, zero-filled: a signal can outlive the segment it announced,
            // when the sender was the last to close that one and this receiver's Open then
            // made a new one (or attached to another sender's new one before its copy).
            counters.empty++;
            return;
        }
        if (m.check != checksumOf(m)) {
            // A worker killed in the middle of a copy leaves it half done: the robust mutex
            // passes the lock on, not the data. Only a kill can explain a torn message, and
            // each tear is counted once even when the message is read again.
            if (g_board->kills == 0) {
                return fail("torn message before any kill", &m);
            }
            if (memcmp(&m, &m_lastTorn[lane], sizeof m) != 0) {
                m_lastTorn[lane] = m;
                counters.torn++;
            }
            return;
        }
        if (m.magic != kMagic || m.slot >= kSlots || m.slot == g_slot || m.thread >= kThreads ||
            m.generation >= g_board->generations || m.seq == 0) {
            return fail("message with a valid checksum but impossible fields", &m);
        }
        uint32_t& last = m_lastSeq[lane][std::make_tuple(m.slot, m.thread, m.generation)];
        if (m.seq < last) {
            return fail("sequence went backwards", &m);
        }
        if (m.seq == last) {
            counters.repeats++;  // a late signal for a message already read
            return;
        }
        last = m.seq;
        counters.received++;
        CZolRWLocker writer(g_rwLock, 1);
        g_tally.bySlot[m.slot]++;
        if (m.seq % 32 == 0) {
            sched_yield();  // widen the window in which the tally disagrees with itself
        }
        g_tally.total++;
        counters.rwWrites++;
    }

    void checkTally() {
        CZolRWLocker reader(g_rwLock, 0);
        uint64_t sum = 0;
        for (uint64_t n : g_tally.bySlot) {
            sum += n;
        }
        if (sum != g_tally.total) {
            fail("RW lock let a reader in beside a writer");
        }
        g_board->slots[g_slot].rwReads++;
    }

    uint32_t m_index;
    std::minstd_rand m_random;
    uint32_t m_seq = 0;
    std::map<std::tuple<int, int, int>, Mailbox> m_cache;
    std::map<std::tuple<uint32_t, uint32_t, uint32_t>, uint32_t> m_lastSeq[kLanes];
    Message m_lastTorn[kLanes] = {};
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 7) {
        fprintf(stderr, "usage: zol_soak_worker BOARD PREFIX SLOT GENERATION SECONDS TRACEFILE\n");
        return 64;
    }
    g_board = mapBoard(argv[1], false);
    g_prefix = argv[2];
    g_slot = static_cast<uint32_t>(atoi(argv[3]));
    g_generation = static_cast<uint32_t>(atoi(argv[4]));
    // The last resort against a hang: the coordinator stops workers long before this.
    alarm(static_cast<unsigned>(atoi(argv[5])) + 120);
    // Trace lines go to TRACEFILE, everything else (sanitizer reports included) to
    // TRACEFILE.err, which the coordinator wants empty: also a killed worker's reports count.
    int errors = open((std::string(argv[6]) + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (g_board == nullptr || g_slot >= kSlots || g_generation >= kMaxGenerations ||
        freopen(argv[6], "w", stdout) == nullptr || errors < 0 || dup2(errors, 2) < 0) {
        return 64;
    }
    std::vector<std::unique_ptr<SoakThread>> threads;
    for (uint32_t i = 0; i < kThreads; ++i) {
        threads.push_back(std::make_unique<SoakThread>(i));
        ZolBeginThread(threads.back().get(), 0, 0);
    }
    while (g_board->stop == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (auto& thread : threads) {
        thread->ExitThread(0);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (auto& thread : threads) {
        while (!thread->finished) {
            if (std::chrono::steady_clock::now() > deadline) {
                fprintf(stderr, "soak worker %u/%u: a thread did not stop\n", g_slot, g_generation);
                return 3;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    threads.clear();
    fflush(stdout);
    return g_failed ? 2 : 0;
}
