// Drives the C-string helpers (case conversion aside: string_test) with operations decoded from the
// input and compares every result with a short reference on std::string. Buffers are heap blocks of
// exactly the bytes each function may touch, so ASan sees any byte written or read beyond them; the
// block of Str_AllocMem is released with one free, so LSan sees any second allocation.
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "FuzzInput.h"
#include "ZolCString.h"

using namespace zolfuzz;  // check, Input

namespace {

// What lives from one operation to the next: Str_ReAllocMem's array with the texts written
// into it, and the text Str_Append builds.
struct State {
    char** entries = nullptr;
    std::vector<std::string> texts;
    char* appended = nullptr;
};

// A heap block of the bytes and a NUL, nothing more (a range-built vector is exactly as long).
std::vector<char> block(const std::string& bytes) {
    return std::vector<char>(bytes.c_str(), bytes.c_str() + bytes.size() + 1);
}

// Trimmed (width 0), a fixed field of width bytes with a guard byte after it, or nothing
// at all for a negative width.
void strip(Input& in, State&) {
    const int width = static_cast<int>(in.upTo(40)) * ((in.byte() & 1) != 0 ? -1 : 1);
    const size_t w = static_cast<size_t>(abs(width));
    std::string field = width == 0 ? in.text(80) : in.bytes(w);
    field.resize(width == 0 ? field.size() : w, 'x');
    std::string expected = field;
    const size_t lead = std::min(field.find_first_not_of(" \t"), field.size());
    if (width == 0) {
        expected = field.substr(lead, field.find_last_not_of(" \t") + 1 - lead);
    } else if (width > 0 && lead < w) {  // all blanks: unchanged
        expected = field[lead] == '\0' ? field.substr(0, lead) + std::string(w - lead, ' ')
                                       : field.substr(lead) + std::string(lead, ' ');
    }
    const std::string guard = width == 0 ? "" : "#";
    std::vector<char> buffer = block(field + guard);
    check(Str_Strip(buffer.data(), width) == buffer.data() &&
              memcmp(buffer.data(), (expected + guard).c_str(), expected.size() + 1) == 0,
          "Str_Strip returns its argument; the byte after a fixed field is never written");
}

void allocMem(Input& in, State&) {
    const int length = static_cast<int>(in.upTo(40)), count = static_cast<int>(in.upTo(9));
    const char fill = static_cast<char>(in.byte() & 3);
    char** array = Str_AllocMem(length, count, fill);
    for (int k = 0; k < count; ++k) {
        check(array[k] == reinterpret_cast<char*>(array + count) + k * (length + 1) &&
                  (fill == 0 || std::string(array[k]) == std::string(length, ' ')),
              "areas follow the pointers without gaps; filled: spaces");
        memset(array[k], 'a', static_cast<size_t>(length) + 1);  // every byte is in the block
    }
    free(array);
}

void reallocMem(Input& in, State& array) {
    const size_t kept = array.texts.size();  // none while there is no array
    const int oldCount = array.entries ? int(kept) : int(in.upTo(4)), add = int(in.upTo(4));
    const int size = 1 + static_cast<int>(in.upTo(15)), fill = in.byte() & 1, fillByte = in.byte();
    char** result = Str_ReAllocMem(array.entries, oldCount, add, size, fill, fillByte);
    array.entries = result;
    for (size_t k = kept; k < static_cast<size_t>(oldCount + add); ++k) {
        check(!fill || std::string(result[k], size) == std::string(size, char(fillByte)), "fill");
        array.texts.push_back(in.text(static_cast<size_t>(size - 1)));
        memset(result[k], 'z', static_cast<size_t>(size));  // all size bytes are there
        memcpy(result[k], array.texts.back().c_str(), array.texts.back().size() + 1);
    }
}

void append(Input& in, State& state) {
    char*& text = state.appended;
    const std::string add = in.bytes(64), old = text ? text : "";
    const uint8_t mode = in.byte();
    const int addLength = (mode & 1) ? -1 : static_cast<int>(in.upTo(uint32_t(add.size())));
    const int textLength = (mode & 2) ? -1 : static_cast<int>(in.upTo(uint32_t(old.size() + 8)));
    std::string expected = old;
    expected.resize(text && textLength >= 0 ? textLength : old.size(), '\0');  // as strncpy
    expected += addLength < 0 ? add.substr(0, add.find('\0')) : add.substr(0, addLength);
    std::vector<char> addBuffer = block(add);  // the text grows by at most 72 bytes a call
    check(Str_Append(text, addBuffer.data(), textLength, addLength) == text &&
              memcmp(text, expected.c_str(), expected.size() + 1) == 0,
          "Str_Append stores its bytes into text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    void (*const operations[])(Input&, State&) = {strip, allocMem, reallocMem, append};
    Input in(data, size);
    State state;
    for (int count = 0; count < 64 && !in.empty(); ++count) {
        operations[in.byte() % 4](in, state);
    }
    for (size_t k = 0; k < state.texts.size(); ++k) {  // a bad copy is copied on to here
        check(state.texts[k] == state.entries[k], "Str_ReAllocMem copies the old strings");
        free(state.entries[k]);
    }
    delete[] state.entries;
    delete[] state.appended;
    return 0;
}
