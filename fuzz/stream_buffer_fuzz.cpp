// Drives a stream buffer and a scripted foreign stream with operations decoded from the input,
// each also run on a model of the buffer: mode, capacity and the bytes it holds (written and not
// flushed, or filled and not read). Buffer and model must agree on every result, byte, length and
// room, and on every exception: the buffer throws 0; the foreign stream's own code passes through
// unchanged. (The byte order of ints is checked where times and arrays are streamed.)
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

// Any other stream: takes what it is offered and fills all the room it is given with 0x5C,
// but answers as scripted: a count, or throws 7.
struct Foreign : CZolStreamBuffer {
    Foreign() : CZolStreamBuffer(0, 0) {}
    long answer = 0;
    Bytes written;
    unsigned int Write(unsigned char* b, unsigned int n) override {
        return answer < 0 ? throw 7 : (written.assign(b, b + n), unsigned(answer));
    }
    unsigned int Read(unsigned char* b, unsigned int n) override {
        return answer < 0 ? throw 7 : (memset(b, 0x5C, n), unsigned(answer));
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    Foreign foreign;
    std::unique_ptr<CZolStreamBuffer> buffer;
    unsigned int mode = 0, capacity = 0;
    Bytes held;  // the model
    for (int operations = 0; operations < 96 && !in.empty(); ++operations) {
        const uint8_t op = in.byte();
        const unsigned int value = in.u32(), room = capacity - held.size();
        const bool one = (op & 8) && (held.empty() || held[0] < 2);  // a bool: one byte, 0 or 1
        bool flag = (value & 1) != 0;
        Bytes bytes(one ? 1 : value % 41, static_cast<unsigned char>(one ? flag : value >> 8));
        const unsigned int n = static_cast<unsigned int>(bytes.size());
        foreign.answer = (value & 0x70000) == 0 ? kThrowsForeign : value >> 26;
        unsigned char got[41] = {flag}, want[41] = {flag};  // a throw leaves a bool alone
        long real = 0, model = 0;
        try {  // each model first, then the buffer, which may throw
            switch (buffer ? op % 7 : 0) {
                case 0: {              // 0xFFFFFFFF + 1 bytes cannot be had: no room at all
                    mode = value % 3;  // 2: neither mode, everything is refused
                    const uint8_t byte = value >> 16 & 0xFF;
                    capacity = byte == 0xFF ? 0 : byte % 48;
                    held.clear();
                    buffer.reset(new CZolStreamBuffer(mode, byte == 0xFF ? 0xFFFFFFFFu : capacity));
                    break;
                }
                case 1:  // the operator returns the stream
                    model = mode != 0 || room < n ? kThrowsZero : n;
                    held.insert(held.end(), bytes.begin(), bytes.begin() + (model < 0 ? 0 : n));
                    real =
                        one ? &(*buffer << flag) == buffer.get() : buffer->Write(bytes.data(), n);
                    break;
                case 2:
                    model = mode != 1 || held.size() < n ? kThrowsZero : n;
                    std::copy_n(held.begin(), model < 0 ? 0 : n, want);
                    held.erase(held.begin(), held.begin() + (model < 0 ? 0 : n));
                    real = one ? &(*buffer >> flag) == buffer.get() : buffer->Read(got, n);
                    got[0] = one ? flag : got[0];
                    break;
                case 3:  // hands everything over in one Write, or keeps it all
                    model = mode != 0            ? kThrowsZero
                            : foreign.answer < 0 ? foreign.answer
                                                 : foreign.answer == long(held.size());
                    real = buffer->Flush(foreign);
                    check(foreign.written == held, "Flush hands over what it holds");
                    held.resize(model == 1 ? 0 : held.size());
                    break;
                case 4:  // asks for all the room left after compaction, in one Read
                    model = mode != 1 ? 0 : std::clamp(foreign.answer, 0L, long(room));  // taken
                    held.resize(held.size() + model, 0x5C);
                    model = mode != 1            ? kThrowsZero
                            : foreign.answer < 0 ? foreign.answer
                                                 : !held.empty();
                    real = buffer->Fill(foreign);
                    break;
                case 5:
                    model = mode != 1 || n > room ? kThrowsZero : 1;
                    held.insert(held.end(), bytes.begin(), bytes.begin() + (model == 1 ? n : 0));
                    real = buffer->Fill(bytes.data(), n);
                    break;
                case 6:  // nothing to name or close, in any mode
                    model = kThrowsZero;
                    real = op & 16 ? buffer->Create("x")
                           : one   ? buffer->Open("x")
                                   : (buffer->Close(), 0);
                    break;
            }
        } catch (int code) {
            real = -1 - code;
        }
        check(real == model && memcmp(got, want, sizeof got) == 0 &&
                  buffer->GetLength() == held.size() &&
                  buffer->GetSpace() == capacity - held.size(),
              "buffer and model agree: result, bytes, length, room");
    }
    return 0;
}
