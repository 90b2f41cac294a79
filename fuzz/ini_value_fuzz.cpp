// The value side of the INI reader: GetValue, the item getters and ScanItem on arbitrary
// values and conversion strings. The input's first bytes choose the comment symbols, a
// conversion string and a few sizes; the rest is the value. It is checked twice:
//   - GetValue alone, on the raw value in a heap block of exactly the room GetValue may
//     use, against a model of the part splitting written on std::string;
//   - through a file holding one item with that value: FindItem must deliver the trimmed,
//     cut value, and every getter and ScanItem must store what the model's parts say,
//     into destinations sized exactly for it. Strings of the P conversion must lie in one
//     block that one free releases (the leak checker sees anything else).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "CZolIniFile.h"
#include "FuzzInput.h"

using zolfuzz::check;
using zolfuzz::Input;

namespace {

constexpr size_t kLongestValue = 511;
// "key=" + value + line feed stays within one 599-character read.
constexpr size_t kLongestLine = 594;

const std::string& filePath() {
    static const std::string path = "/tmp/ini_value_fuzz_" + std::to_string(getpid()) + ".ini";
    return path;
}

// The text at GetValue's cursor and how far the cursor has moved from the buffer's start.
struct ValueModel {
    std::string rest;
    size_t offset = 0;

    // The next part, or false when the text is empty.
    bool next(std::string& part) {
        std::string& t = rest;
        if (t.empty()) {
            return false;
        }
        if (t.size() <= kLongestValue && t.back() != ',') {
            t += ',';
        }
        size_t start = t.find_first_not_of(' ');
        if (start == std::string::npos) {
            start = t.size();
        }
        bool inQuotes = false;
        bool quoted = false;
        for (size_t p = start; p < t.size(); ++p) {
            if (t[p] == '"') {
                if (p > 0 && t[p - 1] == '\\') {
                    t.erase(p - 1, 1);  // the quote stays as an ordinary character
                    --p;
                } else if (!inQuotes && p == start) {
                    inQuotes = quoted = true;
                    ++start;
                } else if (inQuotes) {
                    inQuotes = false;
                }
            } else if (t[p] == ',' && !inQuotes) {
                size_t end = p;
                while (end > start && t[end - 1] == ' ') {
                    --end;
                }
                if (quoted && end > start && t[end - 1] == '"') {
                    --end;
                }
                part = t.substr(start, end - start);
                offset += p + 1;
                t.erase(0, p + 1);
                return true;
            }
        }
        // No comma ends the part: the rest comes back whole and the cursor stays.
        part = t.substr(start);
        return true;
    }
};

std::vector<std::string> modelParts(const std::string& value, size_t most) {
    ValueModel model;
    model.rest = value;
    std::vector<std::string> parts;
    std::string part;
    while (parts.size() < most && model.next(part)) {
        parts.push_back(part);
    }
    return parts;
}

// GetValue on the raw text, in a block with exactly the two spare bytes its callers must
// leave: any part it takes off (the first one of a long text included) may get a comma.
void checkGetValue(const std::string& text) {
    size_t room = text.size() + 2;
    char* buffer = static_cast<char*>(malloc(room));
    memcpy(buffer, text.c_str(), text.size() + 1);
    char* cursor = buffer;
    ValueModel model;
    model.rest = text;
    CZolIniFile ini;
    std::string part;
    for (int call = 0; call < 12; ++call) {
        char* real = ini.GetValue(cursor);
        bool more = model.next(part);
        check((real != nullptr) == more, "GetValue: a part exactly when the model has one");
        if (!more) {
            break;
        }
        check(real >= buffer && real < buffer + room, "GetValue: the part lies in the buffer");
        check(part == real, "GetValue: the part's text");
        check(cursor == buffer + model.offset, "GetValue: the cursor");
    }
    free(buffer);
}

std::string trimBlanks(const std::string& text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// What FindItem delivers for the line "key=" + raw.
std::string modelFoundValue(const std::string& raw, const std::string& symbols) {
    std::string line = raw.substr(0, raw.find('\n'));
    line = line.substr(0, line.find('\0'));
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
        line.pop_back();
    }
    std::string value = trimBlanks(line).substr(0, kLongestValue);
    return value.substr(0, value.find_first_of(symbols));
}

// The P conversion's lines: split at each backslash-n, backslash-quote becomes a quote.
// A part ending in backslash-n leaves the last line as `length` spaces.
std::vector<std::string> modelLines(const std::string& part) {
    std::vector<std::string> lines;
    std::string current;
    bool justBroken = false;
    for (size_t i = 0; i < part.size(); ++i) {
        justBroken = false;
        bool escape = part[i] == '\\' && i + 1 < part.size();
        if (escape && part[i + 1] == 'n') {
            lines.push_back(current);
            current.clear();
            justBroken = true;
            ++i;
        } else if (escape && part[i + 1] == '"') {
            current += '"';
            ++i;
        } else {
            current += part[i];
        }
    }
    lines.push_back(justBroken ? std::string(part.size(), ' ') : current);
    return lines;
}

void checkLines(char** lines, const std::string& part) {
    std::vector<std::string> expected = modelLines(part);
    size_t area = part.size() + 1;
    char* first = reinterpret_cast<char*>(lines + expected.size());
    for (size_t k = 0; k < expected.size(); ++k) {
        check(lines[k] == first + k * area, "P: the lines lie in the one block");
        check(expected[k] == lines[k], "P: a line's text");
        // Each line has the part's length as its capacity: fill it to prove the room.
        memset(lines[k], 'L', part.size());
        lines[k][part.size()] = '\0';
    }
}

bool sameBits(const void* a, const void* b, size_t size) {
    return memcmp(a, b, size) == 0;
}

// One ScanItem destination: room for whichever conversion its character asks for.
struct Target {
    char conversion = 'x';
    int integer = 0x5A5A5A5A;
    long wide = 0x5A5A5A5A;
    float single = 0;
    double number = 0;
    char letter = '#';
    char* text = nullptr;
    char* copy = nullptr;
    char** lines = nullptr;

    void* pointer() {
        switch (conversion) {
            case 'd':
            case 'n':
                return &integer;
            case 'l':
                return &wide;
            case 'f':
                return &single;
            case 'F':
                return &number;
            case 'c':
                return &letter;
            case 's':
                return text;
            case 'p':
                return &copy;
            case 'P':
                return &lines;
            default:
                return &letter;
        }
    }

    // Checks what the conversion stored against the part, or that nothing was stored.
    void verify(const std::string* part) {
        if (part == nullptr) {
            check(integer == 0x5A5A5A5A && wide == 0x5A5A5A5A && letter == '#' && copy == nullptr &&
                      lines == nullptr,
                  "ScanItem: an unused destination stays untouched");
            return;
        }
        const char* p = part->c_str();
        long converted = strtol(p, nullptr, 10);
        switch (conversion) {
            case 'd':
            case 'n':
                check(integer == static_cast<int>(converted), "ScanItem d/n");
                break;
            case 'l':
                check(wide == static_cast<long>(static_cast<int>(converted)), "ScanItem l");
                break;
            case 'f': {
                float expected = static_cast<float>(strtod(p, nullptr));
                check(sameBits(&single, &expected, sizeof expected), "ScanItem f");
                break;
            }
            case 'F': {
                double expected = strtod(p, nullptr);
                check(sameBits(&number, &expected, sizeof expected), "ScanItem F");
                break;
            }
            case 'c':
                check(letter == p[0], "ScanItem c");
                break;
            case 's':
                check(*part == text, "ScanItem s");
                break;
            case 'p':
                check(part->empty() ? copy == nullptr : copy != nullptr && *part == copy,
                      "ScanItem p");
                break;
            case 'P':
                check(lines != nullptr, "ScanItem P");
                checkLines(lines, *part);
                break;
            default:
                check(letter == '#', "ScanItem: other characters store nothing");
                break;
        }
    }

    void release() {
        free(text);
        free(copy);
        free(lines);  // the whole P array: one block
    }
};

void checkScanItem(CZolIniFile& ini, const std::string& format, size_t nullAt,
                   const std::vector<std::string>& parts) {
    constexpr size_t kSlots = 6;
    Target targets[kSlots];
    void* pointers[kSlots + 1] = {};
    for (size_t i = 0; i < format.size(); ++i) {
        targets[i].conversion = format[i];
        if (format[i] == 's') {
            // Exactly the room the part needs, when a part reaches this slot.
            size_t length = i < parts.size() ? parts[i].size() : 0;
            targets[i].text = static_cast<char*>(malloc(length + 1));
            targets[i].text[0] = '\0';
        }
        pointers[i] = i == nullAt ? nullptr : targets[i].pointer();
    }
    std::string conversions = format;
    check(ini.GetSection("s") == 0, "the section is found again");
    int result = ini.ScanItem("Key", &conversions[0], pointers[0], pointers[1], pointers[2],
                              pointers[3], pointers[4], pointers[5], pointers[6]);
    check(result == 0, "ScanItem finds the item");
    // Conversions stop at the end of the format, at a null pointer or at the last part.
    size_t converted = std::min(std::min(format.size(), nullAt), parts.size());
    for (size_t i = 0; i < format.size(); ++i) {
        targets[i].verify(i < converted ? &parts[i] : nullptr);
        targets[i].release();
    }
}

void checkGetters(CZolIniFile& ini, const std::string& first, int n) {
    auto select = [&] { check(ini.GetSection("[S]") == 0, "the section is found again"); };
    const char* p = first.c_str();
    long converted = strtol(p, nullptr, 10);

    int integer = 0;
    unsigned int natural = 0;
    short small = 0;
    long wide = 0;
    select();
    check(ini.GetItem("KEY", integer) == 0 && integer == static_cast<int>(converted), "int");
    select();
    check(ini.GetItem("key", natural) == 0 && natural == static_cast<unsigned int>(converted),
          "unsigned int");
    select();
    check(ini.GetItem("key", small) == 0 && small == static_cast<short>(converted), "short");
    select();
    check(ini.GetItem("key", wide) == 0 && wide == converted, "long");

    double number = 0;
    float single = 0;
    double expectedNumber = strtod(p, nullptr);
    float expectedSingle = static_cast<float>(expectedNumber);
    select();
    check(ini.GetItem("key", number) == 0 && sameBits(&number, &expectedNumber, sizeof number),
          "double");
    select();
    check(ini.GetItem("key", single) == 0 && sameBits(&single, &expectedSingle, sizeof single),
          "float");

    char letter = '#';
    select();
    check(ini.GetItem("key", letter) == 0 && letter == p[0], "char");

    char* text = static_cast<char*>(malloc(first.size() + 1));
    select();
    check(ini.GetItem("key", text) == 0 && first == text, "char*");
    free(text);

    // strncpy: at most n bytes, NUL-padded, unterminated when the part is n or longer.
    char* field = static_cast<char*>(malloc(n > 0 ? static_cast<size_t>(n) : 1));
    std::string expectedField = first.substr(0, static_cast<size_t>(n));
    expectedField.resize(static_cast<size_t>(n), '\0');
    select();
    check(ini.GetItem("key", field, n) == 0 &&
              memcmp(field, expectedField.data(), expectedField.size()) == 0,
          "char* with a count");
    free(field);

    char* copy = reinterpret_cast<char*>(&letter);
    select();
    check(ini.GetItem("key", &copy) == 0, "char**");
    check(first.empty() ? copy == nullptr : copy != nullptr && first == copy, "char** copy");
    free(copy);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const kSymbols[] = {";", "#;", "", ",", "\"", "\\", " ", "=\t"};
    static const char kConversions[] = "dnlfFcspPx";
    Input in(data, size);
    uint8_t setup = in.byte();
    std::string symbols = kSymbols[setup & 7];
    std::string format;
    for (size_t length = in.upTo(6); format.size() < length;) {
        format += kConversions[in.byte() % 10];
    }
    size_t nullAt = in.upTo(7);
    int n = static_cast<int>(in.upTo(40));
    std::string raw;
    while (!in.empty() && raw.size() < kLongestLine) {
        raw += static_cast<char>(in.byte());
    }

    checkGetValue(raw.substr(0, raw.find('\0')));

    FILE* file = fopen(filePath().c_str(), "wb");
    if (file == nullptr) {
        return 0;
    }
    std::string content = "[S]\nkey=" + raw + "\n";
    fwrite(content.data(), 1, content.size(), file);
    fclose(file);
    {
        CZolIniFile ini(filePath().c_str(), CZolIniFile::eRead);
        check(ini.m_bOpen == 1, "the file opens");
        check(ini.SetCommentSymbols(symbols.c_str()) == 0, "comment symbols are accepted");
        std::string value = modelFoundValue(raw, symbols);
        char* found = static_cast<char*>(malloc(512));
        check(ini.GetSection("S") == 0, "the section is found");
        check(ini.FindItem("KEY", found) == 0, "FindItem finds the item");
        check(value == found, "FindItem: the trimmed value, cut at the comment symbol");
        free(found);

        std::vector<std::string> parts = modelParts(value, 6);
        checkGetters(ini, parts.empty() ? std::string() : parts[0], n);
        checkScanItem(ini, format, nullAt, parts);
    }
    // Removed after every input: libFuzzer may end the process without running atexit.
    remove(filePath().c_str());
    return 0;
}
