// What the soak's coordinator and its workers share besides the objects under test: the
// message format and names, and a scoreboard in a plain mapped file. The scoreboard does
// not go through the library, so a fault of the library cannot hide itself from the check.
#ifndef ZOLTOV_TESTS_SOAK_SOAKBOARD_H
#define ZOLTOV_TESTS_SOAK_SOAKBOARD_H

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <string>

namespace soak {

constexpr int kSlots = 8;    // worker processes running at any time
constexpr int kThreads = 4;  // threads of each worker
constexpr int kLanes = 2;    // mailboxes of each thread, waited on together
constexpr int kMaxGenerations = 4096;
constexpr uint32_t kMagic = 0x5A4F4C53u;
constexpr uint32_t kTraceEvery = 8;  // a sender traces every 8th sequence number

// One value in flight: who sent it, its place in the sender's sequence, and a checksum over
// the rest. Seven words go out through the stream operators or one memcpy_shmem; both
// encodings are the same bytes.
struct Message {
    uint32_t magic, slot, thread, generation, seq, payload0, payload1, check;
};
static_assert(sizeof(Message) == 32, "eight words, no padding");

inline uint32_t checksumOf(const Message& m) {
    const uint32_t words[] = {m.magic, m.slot,     m.thread,  m.generation,
                              m.seq,   m.payload0, m.payload1};
    uint32_t h = 2166136261u;
    for (uint32_t w : words) {
        h = (h ^ w) * 16777619u;
        h ^= h >> 15;
    }
    return h;
}

// What the workers of one slot have done, summed over all their generations. Updated as it
// happens, so a killed worker's figures are not lost.
struct SlotCounters {
    std::atomic<uint64_t> sent, received, repeats, empty, torn, bad, rwReads, rwWrites;
};

struct Board {
    std::atomic<uint32_t> stop;         // set by the coordinator: workers end cleanly
    std::atomic<uint32_t> kills;        // workers killed so far
    std::atomic<uint32_t> generations;  // generations started so far (0..n-1 are valid)
    std::atomic<uint64_t> progress[kSlots][kThreads];
    SlotCounters slots[kSlots];
    std::atomic<uint64_t> traced[kMaxGenerations];  // trace lines each generation emitted
};

// Maps the board file (created zero-filled by the coordinator); nullptr on failure.
inline Board* mapBoard(const std::string& path, bool create) {
    int fd = open(path.c_str(), create ? O_RDWR | O_CREAT | O_EXCL : O_RDWR, 0600);
    if (fd < 0 || (create && ftruncate(fd, sizeof(Board)) != 0)) {
        return nullptr;
    }
    void* base = mmap(nullptr, sizeof(Board), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return base == MAP_FAILED ? nullptr : static_cast<Board*>(base);
}

inline std::string laneName(const std::string& prefix, int slot, int thread, int lane) {
    return prefix + "-box" + std::to_string(slot) + "." + std::to_string(thread) + "." +
           std::to_string(lane);
}

inline std::string signalName(const std::string& prefix, int slot, int thread, int lane) {
    return prefix + "-sig" + std::to_string(slot) + "." + std::to_string(thread) + "." +
           std::to_string(lane);
}

}  // namespace soak

#endif  // ZOLTOV_TESTS_SOAK_SOAKBOARD_H
