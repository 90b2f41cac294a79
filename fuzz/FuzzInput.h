// Shared pieces of the fuzz targets: a reader that decodes numbers and byte strings from
// the fuzzer's input (running dry yields zeros and empty strings, so every input is a
// valid program), and the check that stops the process when a target finds a fault.
#ifndef ZOLTOV_FUZZ_FUZZINPUT_H
#define ZOLTOV_FUZZ_FUZZINPUT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>

namespace zolfuzz {

// Prints where the disagreement was found and aborts, which libFuzzer reports as a crash
// and the replay test as a dead test program.
inline void check(bool ok, const char* what, int line = __builtin_LINE(),
                  const char* file = __builtin_FILE()) {
    if (!ok) {
        fprintf(stderr, "%s:%d: fuzz check failed: %s\n", file, line, what);
        abort();
    }
}

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return position_ >= size_; }
    size_t remaining() const { return empty() ? 0 : size_ - position_; }

    uint8_t byte() { return empty() ? 0 : data_[position_++]; }

    uint32_t u32() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            value = value << 8 | byte();
        }
        return value;
    }

    uint64_t u64() { return static_cast<uint64_t>(u32()) << 32 | u32(); }

    // A value in [0, bound] that favours the small end, where the edge cases lie.
    uint32_t upTo(uint32_t bound) { return bound == 0 ? 0 : byte() % (bound + 1); }

    // A length byte followed by that many raw bytes (NULs included), at most `limit`.
    std::string bytes(size_t limit) {
        size_t length = std::min<size_t>({byte(), limit, remaining()});  // in that order
        std::string result(reinterpret_cast<const char*>(data_ + position_), length);
        position_ += length;
        return result;
    }

    // As bytes(), cut at its first NUL: a C string's worth of text.
    std::string text(size_t limit) { return bytes(limit).c_str(); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t position_ = 0;
};

}  // namespace zolfuzz

#endif  // ZOLTOV_FUZZ_FUZZINPUT_H
