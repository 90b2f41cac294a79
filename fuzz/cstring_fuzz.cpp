// Drives the C-string helpers with operations decoded from the input and compares every
// result with a plain reference written on std::string. Buffers are heap blocks of exactly
// the size each function may touch, so the address sanitizer sees any byte written or
// read beyond it; the one-block array of Str_AllocMem is released with a single free, so
// the leak checker sees any second allocation.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "FuzzInput.h"
#include "ZolCString.h"

using zolfuzz::check;
using zolfuzz::Input;

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

char* heapCopy(const std::string& bytes) {
    char* copy = static_cast<char*>(malloc(bytes.size() + 1));
    memcpy(copy, bytes.data(), bytes.size());
    copy[bytes.size()] = '\0';
    return copy;
}

std::string referenceTrim(const std::string& text) {
    size_t first = 0;
    while (first < text.size() && isBlank(text[first])) {
        ++first;
    }
    size_t last = text.size();
    while (last > first && isBlank(text[last - 1])) {
        --last;
    }
    return text.substr(first, last - first);
}

// The fixed-width field of `width` bytes: leading blanks shifted out and replaced by
// spaces at the end, unless the field is all blanks (unchanged) or a terminator follows
// the blanks (everything from it becomes spaces).
std::string referenceField(std::string field) {
    size_t width = field.size();
    size_t leading = 0;
    while (leading < width && isBlank(field[leading])) {
        ++leading;
    }
    if (leading == width) {
        return field;
    }
    if (field[leading] == '\0') {
        return field.substr(0, leading) + std::string(width - leading, ' ');
    }
    return field.substr(leading) + std::string(leading, ' ');
}

void stripTrimmed(Input& in) {
    std::string text = in.text(80);
    char* buffer = heapCopy(text);
    check(Str_Strip(buffer, 0) == buffer, "Str_Strip returns its argument");
    check(referenceTrim(text) == buffer, "trimmed Str_Strip");
    free(buffer);
}

void stripFixed(Input& in) {
    int width = 1 + static_cast<int>(in.upTo(39));
    std::string field = in.bytes(static_cast<size_t>(width));
    field.resize(static_cast<size_t>(width), 'x');
    // One byte more than the field, holding a marker that must survive.
    char* buffer = static_cast<char*>(malloc(static_cast<size_t>(width) + 1));
    memcpy(buffer, field.data(), field.size());
    buffer[width] = '#';
    // A negative width changes nothing.
    bool negative = (in.byte() & 1) != 0;
    std::string expected = negative ? field : referenceField(field);
    check(Str_Strip(buffer, negative ? -width : width) == buffer, "returns its argument");
    check(memcmp(buffer, expected.data(), expected.size()) == 0, "fixed-width field");
    check(buffer[width] == '#', "the byte after the field is never written");
    free(buffer);
}

void allocMem(Input& in) {
    int length = static_cast<int>(in.upTo(40));
    int count = static_cast<int>(in.upTo(9));
    char fill = static_cast<char>(in.byte() & 3);
    char** array = Str_AllocMem(length, count, fill);
    check(array != nullptr, "small blocks are allocated");
    char* area = reinterpret_cast<char*>(array + count);
    for (int k = 0; k < count; ++k, area += length + 1) {
        check(array[k] == area, "areas follow the pointers without gaps");
        if (fill != 0) {
            check(strlen(array[k]) == static_cast<size_t>(length) &&
                      strspn(array[k], " ") == static_cast<size_t>(length),
                  "a filled string is `length` spaces");
        }
        // Writing every byte of every area proves the block holds them all.
        memset(array[k], 'a' + k, static_cast<size_t>(length));
        array[k][length] = '\0';
    }
    for (int k = 0; k < count; ++k) {
        check(strspn(array[k], std::string(1, static_cast<char>('a' + k)).c_str()) ==
                  static_cast<size_t>(length),
              "areas do not overlap");
    }
    free(array);
}

// An array of Str_ReAllocMem with its reference contents. Fresh entries are unterminated
// until the fuzzer writes a text into them; only terminated arrays may be reallocated.
struct StringArray {
    char** entries = nullptr;
    std::vector<std::string> reference;

    void release() {
        for (size_t k = 0; k < reference.size(); ++k) {
            free(entries[k]);
        }
        delete[] entries;
        entries = nullptr;
        reference.clear();
    }
};

void reallocMem(Input& in, StringArray& array) {
    int oldCount = array.entries != nullptr ? static_cast<int>(array.reference.size())
                                            : static_cast<int>(in.upTo(4));
    int addCount = static_cast<int>(in.upTo(4));
    int size = static_cast<int>(in.upTo(16));
    int fill = in.byte() & 1;
    int fillByte = in.byte();
    bool hadArray = array.entries != nullptr;
    char** result = Str_ReAllocMem(array.entries, oldCount, addCount, size, fill, fillByte);
    check(result != nullptr, "small arrays are allocated");
    array.entries = result;
    if (!hadArray) {
        array.reference.clear();
    }
    size_t kept = array.reference.size();
    for (size_t k = 0; k < kept; ++k) {
        check(array.reference[k] == result[k], "old strings are copied");
    }
    array.reference.resize(static_cast<size_t>(oldCount + addCount));
    for (size_t k = kept; k < array.reference.size(); ++k) {
        if (fill != 0) {
            check(std::string(result[k], static_cast<size_t>(size)) ==
                      std::string(static_cast<size_t>(size), static_cast<char>(fillByte)),
                  "fresh strings are filled");
        }
        // Every fresh string has `size` bytes: use them all, ending with a terminator.
        if (size == 0) {
            continue;
        }
        std::string text = in.text(static_cast<size_t>(size - 1));
        memset(result[k], 'z', static_cast<size_t>(size));
        memcpy(result[k], text.data(), text.size());
        result[k][text.size()] = '\0';
        array.reference[k] = text;
    }
    if (size == 0 && array.reference.size() > kept) {
        // Zero-byte strings cannot hold a terminator: such an array cannot be copied again.
        array.release();
    }
}

// A Str_Append string with its reference bytes (terminator excluded; NULs may lie inside).
struct AppendedText {
    char* text = nullptr;
    std::string reference;
};

void append(Input& in, AppendedText& appended) {
    if (appended.reference.size() > 2048) {
        delete[] appended.text;
        appended = AppendedText();
    }
    std::string add = in.bytes(64);
    uint8_t mode = in.byte();
    // -1 asks for the length up to the terminator: the text must then have one.
    int addLength =
        (mode & 1) != 0 ? -1 : static_cast<int>(in.upTo(static_cast<uint32_t>(add.size())));
    char* addBuffer = addLength == -1 ? heapCopy(add) : static_cast<char*>(malloc(add.size() + 1));
    memcpy(addBuffer, add.data(), add.size());
    std::string oldText = appended.text != nullptr ? std::string(appended.text) : std::string();
    int textLength =
        (mode & 2) != 0 ? -1 : static_cast<int>(in.upTo(static_cast<uint32_t>(oldText.size() + 8)));

    std::string expected;
    if (appended.text != nullptr) {
        size_t kept = textLength == -1 ? oldText.size() : static_cast<size_t>(textLength);
        expected = oldText.substr(0, kept);
        expected.resize(kept, '\0');  // strncpy pads a short text with NULs
    }
    expected +=
        addLength == -1 ? std::string(addBuffer) : add.substr(0, static_cast<size_t>(addLength));

    char* result = Str_Append(appended.text, addBuffer, textLength, addLength);
    check(result == appended.text, "the new string is stored into text");
    // The comparison reads every byte of the new[] block, terminator included.
    check(memcmp(result, expected.c_str(), expected.size() + 1) == 0, "Str_Append bytes");
    appended.reference = expected;
    free(addBuffer);
}

void changeCase(Input& in) {
    std::string text = in.text(80);
    bool upper = (in.byte() & 1) != 0;
    std::string expected = text;
    for (char& c : expected) {
        if (upper && c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        } else if (!upper && c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    char* buffer = heapCopy(text);
    check((upper ? strupr(buffer) : strlwr(buffer)) == buffer, "returns its argument");
    check(expected == buffer, "case conversion in the C locale");
    free(buffer);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    StringArray array;
    AppendedText appended;
    for (int operations = 0; operations < 64 && !in.empty(); ++operations) {
        switch (in.byte() % 6) {
            case 0:
                stripTrimmed(in);
                break;
            case 1:
                stripFixed(in);
                break;
            case 2:
                allocMem(in);
                break;
            case 3:
                reallocMem(in, array);
                break;
            case 4:
                append(in, appended);
                break;
            default:
                changeCase(in);
                break;
        }
    }
    array.release();
    delete[] appended.text;
    return 0;
}
