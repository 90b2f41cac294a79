// Drives three stream buffers and a scripted foreign stream with operations decoded from
// the input, each also run on a model of a buffer: mode, capacity, held bytes, position.
// Buffer and model must agree on every result, byte, length and room, and on every
// exception: the buffer throws 0; the foreign stream's own code passes through unchanged.
// (The byte order of ints is checked where times and arrays are streamed.)
#include <string.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "CZolStreamBuffer.h"
#include "FuzzInput.h"

using namespace zolfuzz;  // check, Input

namespace {

using Bytes = std::vector<unsigned char>;
constexpr long kThrowsZero = -1, kThrowsForeign = -8;  // outcomes: -1 - the code thrown

template <class F>
long outcome(F&& f) {
    try {
        return static_cast<long>(f());
    } catch (int code) {
        return -1 - code;
    }
}

// Takes every byte offered and fills all the room it is given, but answers as scripted.
struct Foreign : CZolStream {
    long answer = 0;  // a count, or kThrowsForeign
    Bytes written;
    int Create(const char*) override { return 1; }
    int Open(const char*) override { return 1; }
    void Close() override {}
    unsigned int Write(unsigned char* b, unsigned int n) override {
        return answer < 0 ? throw 7 : (written.assign(b, b + n), unsigned(answer));
    }
    unsigned int Read(unsigned char* b, unsigned int n) override {
        return answer < 0 ? throw 7 : (memset(b, 0x5C, n), unsigned(answer));
    }
};

// A buffer with its model.
struct Slot {
    std::unique_ptr<CZolStreamBuffer> buffer;
    int mode = 0;
    unsigned int capacity = 0, position = 0;
    Bytes bytes;
    void construct(Input& in) {
        static const int kModes[] = {0, 1, 0, 1, 2, -1};
        *this = Slot();
        mode = kModes[in.byte() % 6];
        const uint8_t size = in.byte();  // 0xFFFFFFFF + 1 bytes cannot be had: no room at all
        buffer.reset(new CZolStreamBuffer(mode, size == 0xFF ? 0xFFFFFFFFu : size % 48));
        capacity = size == 0xFF ? 0 : size % 48;
    }
    unsigned int unread() const { return static_cast<unsigned int>(bytes.size()) - position; }
    unsigned int length() const { return mode == 0 ? position : unread(); }
    long write(const unsigned char* data, unsigned int n) {
        if (mode != 0 || capacity - position < n) {
            return kThrowsZero;
        }
        return bytes.insert(bytes.end(), data, data + n), position += n, n;
    }
    long read(unsigned char* out, unsigned int n) {
        if (mode != 1 || unread() < n) {
            return kThrowsZero;
        }
        return std::copy_n(bytes.begin() + position, n, out), position += n, n;
    }
};

// One operation on s, whose partner is another buffer, s itself or (null) the foreign one.
void step(Input& in, Slot& s, Slot* other, Foreign& foreign) {
    CZolStream& partner = other ? static_cast<CZolStream&>(*other->buffer) : foreign;
    CZolStreamBuffer& b = *s.buffer;
    const uint8_t op = in.byte();
    const unsigned int value = in.u32(), n = value % 41;
    Bytes data(n, static_cast<unsigned char>(value >> 8));
    foreign.answer = (value & 0x70000) == 0 ? kThrowsForeign : value >> 26;
    unsigned char got[41], want[41];
    memset(got, 0xA5, sizeof got), memset(want, 0xA5, sizeof want);
    if (s.mode == 1) {  // the model compacts at once: nothing else can tell
        s.bytes.erase(s.bytes.begin(), s.bytes.begin() + s.position), s.position = 0;
    }
    const unsigned int room = s.mode == 1 ? s.capacity - s.unread() : 0;
    long real = 0, model = 0;
    bool flag = (n & 1) != 0;
    switch (op % 8) {
        case 0:
            return s.construct(in);
        case 1:
            real = outcome([&] { return b.Write(data.data(), n); });
            model = s.write(data.data(), n);
            break;
        case 2:  // a bool is one byte, 0 or 1; the operators return the stream
            real = outcome([&] { return &(b << flag) == &b; });
            model = s.write(reinterpret_cast<unsigned char*>(&flag), 1) < 0 ? kThrowsZero : 1;
            break;
        case 3:
            real = outcome([&] { return b.Read(got, n); });
            model = s.read(want, n);
            break;
        case 4:  // a throw leaves the value alone
            if (s.mode == 1 && s.unread() > 0 && s.bytes[s.position] > 1) {
                break;  // not a bool
            }
            real = outcome([&] { return &(b >> flag) == &b; });
            got[0] = flag;
            model = s.read(want, 1) < 0 ? (want[0] = n & 1, kThrowsZero) : 1;
            break;
        case 5: {  // hands everything over in one Write, or keeps it all
            const Bytes held(s.bytes.begin(), s.bytes.begin() + s.position);
            const long size = static_cast<long>(held.size());
            model = s.mode != 0 ? kThrowsZero
                    : other     ? other->write(held.data(), size)
                                : foreign.answer;
            model = model < 0 ? model : model == size;  // 0 when not all was taken
            if (model == 1) {
                s.bytes.clear(), s.position = 0;
            }
            real = outcome([&] { return b.Flush(partner); });
            check(other || s.mode != 0 || foreign.answer < 0 || foreign.written == held, "Flush");
            break;
        }
        case 6: {  // asks the source for all the room left after compaction, in one Read
            Bytes delivered(room, 0x5C);
            const long answer = other ? other->read(delivered.data(), room) : foreign.answer;
            const long taken = answer < 0 ? 0 : answer < room ? answer : room;
            s.bytes.insert(s.bytes.end(), delivered.begin(), delivered.begin() + taken);
            model = s.mode != 1 ? kThrowsZero : answer < 0 ? answer : s.bytes.empty() ? 0 : 1;
            real = outcome([&] { return b.Fill(partner); });
            break;
        }
        case 7:
            model = s.mode != 1 || n > room ? kThrowsZero : 1;  // compacted even when refused
            s.bytes.insert(s.bytes.end(), data.begin(), data.begin() + (model == 1 ? n : 0));
            real = outcome([&] { return b.Fill(data.data(), n); });
            check(outcome([&] { return op & 0x10 ? b.Create("x") : b.Open("x"); }) == kThrowsZero &&
                      outcome([&] { return b.Close(), 0; }) == kThrowsZero && b.Flush() == 1,
                  "no resource to name; the base's Flush() does nothing");
            break;
    }
    check(real == model && memcmp(got, want, sizeof got) == 0, "buffer and model agree");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    Slot slots[3];
    Foreign foreign;
    for (Slot& slot : slots) {
        slot.construct(in);
    }
    for (int operations = 0; operations < 96 && !in.empty(); ++operations) {
        const uint8_t pick = in.byte(), other = (pick >> 4) & 3;
        step(in, slots[pick % 3], other < 3 ? &slots[other] : nullptr, foreign);
        for (Slot& s : slots) {
            check(s.buffer->GetLength() == s.length() &&
                      s.buffer->GetSpace() == s.capacity - s.length(),
                  "GetLength and GetSpace");
        }
    }
    return 0;
}
