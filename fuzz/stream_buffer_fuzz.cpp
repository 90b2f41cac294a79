// Drives three stream buffers (and a scripted foreign stream) through operations decoded
// from the input, and runs every operation on a model of the buffers' bytes as well: a
// vector of held bytes and a position. Model and buffer must agree on every result,
// every byte read, every length and room, and on every exception thrown.
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "CZolStreamBuffer.h"
#include "FuzzInput.h"

using zolfuzz::check;
using zolfuzz::Input;

namespace {

// What a model operation promises: a thrown int (the buffer throws 0; the foreign stream
// throws its own code) or a result.
struct Outcome {
    bool thrown = false;
    int code = 0;
    unsigned int result = 0;
};

Outcome thrown(int code) {
    Outcome outcome;
    outcome.thrown = true;
    outcome.code = code;
    return outcome;
}

Outcome returned(unsigned int result) {
    Outcome outcome;
    outcome.result = result;
    return outcome;
}

// The code the foreign stream throws, distinct from the buffer's 0.
constexpr int kForeignCode = 7;

// A stream whose answers the input scripts: Write takes the bytes and reports `answer`
// (or throws); Read fills all the room it is offered with a known pattern and reports
// `answer` (or throws).
class ForeignStream : public CZolStream {
public:
    std::vector<unsigned char> written;
    unsigned int answer = 0;
    bool answerWhole = true;
    bool fails = false;
    unsigned char pattern = 0;

    int Create(const char*) override { return 1; }
    int Open(const char*) override { return 1; }
    void Close() override {}
    unsigned int Write(unsigned char* buffer, unsigned int count) override {
        if (fails) {
            throw kForeignCode;
        }
        written.assign(buffer, buffer + count);
        return answerWhole ? count : answer;
    }
    unsigned int Read(unsigned char* buffer, unsigned int count) override {
        if (fails) {
            throw kForeignCode;
        }
        for (unsigned int i = 0; i < count; ++i) {
            buffer[i] = static_cast<unsigned char>(pattern + i);
        }
        return answerWhole ? count : answer;
    }
};

// The model of one buffer: capacity, mode, the valid bytes and the position.
struct Model {
    int mode = 0;
    unsigned int capacity = 0;
    std::vector<unsigned char> bytes;
    unsigned int position = 0;

    unsigned int unread() const { return static_cast<unsigned int>(bytes.size()) - position; }
    unsigned int length() const { return mode == 0 ? position : unread(); }

    Outcome write(const unsigned char* data, unsigned int count) {
        if (mode != 0 || capacity - position < count) {
            return thrown(0);
        }
        bytes.insert(bytes.end(), data, data + count);
        position += count;
        return returned(count);
    }

    Outcome read(unsigned char* out, unsigned int count) {
        if (mode != 1 || unread() < count) {
            return thrown(0);
        }
        std::copy(bytes.begin() + position, bytes.begin() + position + count, out);
        position += count;
        return returned(count);
    }

    void compact() {
        bytes.erase(bytes.begin(), bytes.begin() + position);
        position = 0;
    }
};

struct Slot {
    std::unique_ptr<CZolStreamBuffer> buffer;
    Model model;
};

// Runs `real` and returns what it did in the terms of an Outcome.
template <class F>
Outcome run(F&& real) {
    try {
        return returned(static_cast<unsigned int>(real()));
    } catch (int code) {
        return thrown(code);
    }
}

void expectSame(const Outcome& real, const Outcome& model, const char* what) {
    check(real.thrown == model.thrown, what);
    if (real.thrown) {
        check(real.code == model.code, what);
    } else {
        check(real.result == model.result, what);
    }
}

void construct(Input& in, Slot& slot) {
    static const int kModes[] = {0, 1, 0, 1, 2, -1};
    int mode = kModes[in.byte() % 6];
    uint8_t sizeByte = in.byte();
    // The largest capacity cannot be allocated as capacity + 1 in 32 bits; the buffer
    // then holds nothing.
    unsigned int capacity = sizeByte == 0xFF ? 0xFFFFFFFFu : sizeByte % 48;
    slot.buffer.reset(new CZolStreamBuffer(mode, capacity));
    slot.model = Model();
    slot.model.mode = mode;
    slot.model.capacity = capacity == 0xFFFFFFFFu ? 0 : capacity;
}

void writeBlock(Input& in, Slot& slot) {
    std::string data = in.bytes(64);
    unsigned int count = static_cast<unsigned int>(data.size());
    std::vector<unsigned char> bytes(data.begin(), data.end());
    Outcome real = run([&] { return slot.buffer->Write(bytes.data(), count); });
    expectSame(real, slot.model.write(bytes.data(), count), "Write");
}

void readBlock(Input& in, Slot& slot) {
    unsigned int count = in.upTo(40);
    // Exactly sized, so a read past the count is an overflow.
    std::unique_ptr<unsigned char[]> real(new unsigned char[count + 1]);
    std::vector<unsigned char> expected(count + 1, 0xA5);
    memset(real.get(), 0xA5, count + 1);
    Outcome result = run([&] { return slot.buffer->Read(real.get(), count); });
    expectSame(result, slot.model.read(expected.data(), count), "Read");
    check(memcmp(real.get(), expected.data(), count + 1) == 0,
          "Read delivers the model's bytes, and nothing when it throws");
}

void putValue(Input& in, Slot& slot) {
    CZolStream& stream = *slot.buffer;
    uint8_t kind = in.byte() % 3;
    uint32_t value = in.u32();
    Outcome real;
    Outcome model;
    unsigned char bytes[4];
    memcpy(bytes, &value, 4);
    if (kind == 0) {
        real = run([&] { return &(stream << static_cast<int>(value)) == &stream; });
        model = slot.model.write(bytes, 4);
    } else if (kind == 1) {
        real = run([&] { return &(stream << value) == &stream; });
        model = slot.model.write(bytes, 4);
    } else {
        bool flag = (value & 1) != 0;
        unsigned char byte = flag ? 1 : 0;
        real = run([&] { return &(stream << flag) == &stream; });
        model = slot.model.write(&byte, 1);
    }
    // The operators return the stream itself, not a count.
    if (!model.thrown) {
        model.result = 1;
    }
    expectSame(real, model, "operator<<");
}

void takeValue(Input& in, Slot& slot) {
    CZolStream& stream = *slot.buffer;
    uint8_t kind = in.byte() % 3;
    Model& model = slot.model;
    unsigned char expected[4] = {0x5A, 0x5A, 0x5A, 0x5A};
    Outcome real;
    Outcome predicted;
    if (kind == 2) {
        // A bool must hold 0 or 1: other bytes are taken out as raw bytes elsewhere.
        if (model.mode == 1 && model.unread() >= 1 && model.bytes[model.position] > 1) {
            return;
        }
        bool value = true;
        real = run([&] { return &(stream >> value) == &stream; });
        predicted = model.read(expected, 1);
        bool wanted = predicted.thrown ? true : expected[0] == 1;
        check(value == wanted, "operator>>(bool) value");
    } else {
        uint32_t value = 0x5A5A5A5Au;
        if (kind == 0) {
            int signedValue = 0x5A5A5A5A;
            real = run([&] { return &(stream >> signedValue) == &stream; });
            value = static_cast<uint32_t>(signedValue);
        } else {
            real = run([&] { return &(stream >> value) == &stream; });
        }
        predicted = model.read(expected, 4);
        check(memcmp(&value, expected, 4) == 0, "operator>> value, untouched on a throw");
    }
    if (!predicted.thrown) {
        predicted.result = 1;
    }
    expectSame(real, predicted, "operator>>");
}

// Flush(target) into another buffer (or itself) or into the foreign stream.
void flush(Input& in, Slot& slot, Slot* target, ForeignStream& foreign) {
    Model& model = slot.model;
    std::vector<unsigned char> held(model.bytes.begin(), model.bytes.begin() + model.position);
    unsigned int count = static_cast<unsigned int>(held.size());
    Outcome predicted;
    if (model.mode != 0) {
        predicted = thrown(0);
    } else {
        Outcome taken;
        if (target != nullptr) {
            taken = target->model.write(held.data(), count);
        } else {
            foreign.fails = (in.byte() & 7) == 0;
            foreign.answerWhole = (in.byte() & 1) != 0;
            foreign.answer = in.upTo(50);
            foreign.written.clear();
            taken = foreign.fails ? thrown(kForeignCode)
                                  : returned(foreign.answerWhole ? count : foreign.answer);
        }
        if (taken.thrown) {
            predicted = taken;
        } else if (taken.result != count) {
            predicted = returned(0);
        } else {
            model.bytes.clear();
            model.position = 0;
            predicted = returned(1);
        }
    }
    CZolStream& destination =
        target != nullptr ? static_cast<CZolStream&>(*target->buffer) : foreign;
    Outcome real = run([&] { return slot.buffer->Flush(destination); });
    expectSame(real, predicted, "Flush(target)");
    if (target == nullptr && model.mode == 0 && !foreign.fails) {
        check(foreign.written == held, "Flush hands over every byte written");
    }
}

// Fill(source) from another buffer (or itself) or from the foreign stream.
void fillFromStream(Input& in, Slot& slot, Slot* source, ForeignStream& foreign) {
    Model& model = slot.model;
    Outcome predicted;
    if (model.mode != 1) {
        predicted = thrown(0);
    } else {
        model.compact();
        unsigned int kept = static_cast<unsigned int>(model.bytes.size());
        unsigned int room = model.capacity - kept;
        std::vector<unsigned char> delivered(room);
        Outcome answer;
        if (source != nullptr) {
            answer = source->model.read(delivered.data(), room);
        } else {
            foreign.fails = (in.byte() & 7) == 0;
            foreign.answerWhole = (in.byte() & 1) != 0;
            foreign.answer = in.upTo(60);
            foreign.pattern = in.byte();
            answer = foreign.fails ? thrown(kForeignCode)
                                   : returned(foreign.answerWhole ? room : foreign.answer);
            for (unsigned int i = 0; i < room; ++i) {
                delivered[i] = static_cast<unsigned char>(foreign.pattern + i);
            }
        }
        if (answer.thrown) {
            predicted = answer;
        } else {
            // A source claiming more than the room counts as filling it.
            unsigned int taken = answer.result < room ? answer.result : room;
            model.bytes.insert(model.bytes.end(), delivered.begin(), delivered.begin() + taken);
            predicted = returned(model.bytes.empty() ? 0 : 1);
        }
    }
    CZolStream& origin = source != nullptr ? static_cast<CZolStream&>(*source->buffer) : foreign;
    Outcome real = run([&] { return slot.buffer->Fill(origin); });
    expectSame(real, predicted, "Fill(source)");
}

void fillFromMemory(Input& in, Slot& slot) {
    std::string data = in.bytes(64);
    unsigned int count = static_cast<unsigned int>(data.size());
    std::vector<unsigned char> bytes(data.begin(), data.end());
    Model& model = slot.model;
    Outcome predicted;
    if (model.mode != 1) {
        predicted = thrown(0);
    } else {
        model.compact();
        if (count > model.capacity - model.bytes.size()) {
            predicted = thrown(0);
        } else {
            model.bytes.insert(model.bytes.end(), bytes.begin(), bytes.end());
            predicted = returned(1);
        }
    }
    Outcome real = run([&] { return slot.buffer->Fill(bytes.data(), count); });
    expectSame(real, predicted, "Fill(data, count)");
}

void unsupported(Input& in, Slot& slot) {
    CZolStream& stream = *slot.buffer;
    Outcome real;
    switch (in.byte() % 4) {
        case 0:
            real = run([&] { return stream.Create("x"); });
            break;
        case 1:
            real = run([&] { return stream.Open("x"); });
            break;
        case 2:
            real = run([&] {
                stream.Close();
                return 1;
            });
            break;
        default:
            // The base's Flush() does nothing and answers 1, in every mode.
            expectSame(run([&] { return stream.Flush(); }), returned(1), "Flush()");
            return;
    }
    expectSame(real, thrown(0), "Create, Open and Close are refused");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    Slot slots[3];
    ForeignStream foreign;
    for (Slot& slot : slots) {
        construct(in, slot);
    }
    for (int operations = 0; operations < 96 && !in.empty(); ++operations) {
        uint8_t op = in.byte();
        Slot& slot = slots[(op >> 4) % 3];
        // Another buffer, the same one, or (index 3) the foreign stream.
        uint8_t other = (op >> 6) & 3;
        Slot* partner = other < 3 ? &slots[other] : nullptr;
        switch (op % 9) {
            case 0:
                construct(in, slot);
                break;
            case 1:
                writeBlock(in, slot);
                break;
            case 2:
                readBlock(in, slot);
                break;
            case 3:
                putValue(in, slot);
                break;
            case 4:
                takeValue(in, slot);
                break;
            case 5:
                flush(in, slot, partner, foreign);
                break;
            case 6:
                fillFromStream(in, slot, partner, foreign);
                break;
            case 7:
                fillFromMemory(in, slot);
                break;
            default:
                unsupported(in, slot);
                break;
        }
        for (Slot& each : slots) {
            check(each.buffer->GetLength() == each.model.length(), "GetLength");
            check(each.buffer->GetSpace() == each.model.capacity - each.model.length(), "GetSpace");
        }
    }
    return 0;
}
