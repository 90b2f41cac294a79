// The INI reader on files built from the input, against a model written on std::string.
// The input's first bytes choose the comment symbols, a ScanItem conversion string and
// where its pointer list ends; the rest follows "[S]\nkey=" in the file, so the item's
// value is arbitrary and so are the lines after it. Checked:
//   - GetValue alone on the value's line, in a heap block of exactly the room it may use,
//     against a model of the part splitting;
//   - FindItem: the line's first 599-character piece, to a NUL, without trailing carriage
//     returns, trimmed, cut at 511 characters and at the first comment symbol;
//   - ScanItem on the item: the parts GetValue's model gives, each into exactly its room,
//     and nothing stored past the end of the format, a null pointer or the last part;
//   - every header of the file, into exactly the 33 bytes GetNextSection may fill.
// Each conversion's cut and width is checked value by value in tests/ini, in two locales.
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <vector>

#include "CZolIniFile.h"
#include "FuzzInput.h"

using zolfuzz::check;

namespace {

constexpr size_t kLongestValue = 511;
constexpr char kKinds[] = "sdx";  // the ScanItem conversions tried: x stores nothing

// GetValue's model on t, the text at the cursor: the next part, or false when the text is
// empty; offset counts how far the cursor has moved.
bool nextPart(std::string& t, size_t& offset, std::string& part) {
    if (t.empty()) {
        return false;
    }
    if (t.size() <= kLongestValue && t.back() != ',') {
        t += ',';
    }
    size_t start = std::min(t.find_first_not_of(' '), t.size());
    bool inQuotes = false, quoted = false;
    for (size_t p = start; p < t.size(); ++p) {
        if (t[p] == '"' && p > 0 && t[p - 1] == '\\') {
            t.erase(--p, 1);  // the quote stays as an ordinary character
        } else if (t[p] == '"' && !inQuotes && p == start) {
            inQuotes = quoted = true;
            ++start;
        } else if (t[p] == '"') {
            inQuotes = false;
        } else if (t[p] == ',' && !inQuotes) {
            part = t.substr(start, p - start);
            part.erase(part.find_last_not_of(' ') + 1);  // npos + 1: all blanks go
            if (quoted && !part.empty() && part.back() == '"') {
                part.pop_back();
            }
            offset += p + 1;
            t.erase(0, p + 1);
            return true;
        }
    }
    part = t.substr(start);  // no comma ends the part: the cursor stays
    return true;
}

// GetValue on the raw text, with exactly the two spare bytes its callers must leave; the
// model's parts (six at most: a part without an ending comma comes back again and again).
std::vector<std::string> checkGetValue(const std::string& text) {
    std::vector<char> buffer(text.size() + 2);
    memcpy(buffer.data(), text.c_str(), text.size());
    char* cursor = buffer.data();
    std::string rest = text;
    size_t offset = 0;
    std::vector<std::string> parts;
    for (std::string part; parts.size() < 6; parts.push_back(part)) {
        char* real = CZolIniFile().GetValue(cursor);
        bool more = nextPart(rest, offset, part);
        check((real != nullptr) == more, "GetValue: a part exactly when the model has one");
        if (!more) {
            break;
        }
        check(part == real && cursor == buffer.data() + offset, "GetValue: the part and cursor");
    }
    return parts;
}

// ScanItem with s conversions (each into exactly the room of its part), d conversions and
// characters that store nothing: it stops at the end of the format, at a null pointer or
// after the last part, and leaves every destination it did not reach as it was.
void checkScanItem(CZolIniFile& ini, std::string format, size_t nullAt,
                   const std::vector<std::string>& parts) {
    char mark = '#', *texts[6];
    int numbers[] = {7, 7, 7, 7, 7, 7};
    void* pointers[7] = {};
    for (size_t i = 0; i < format.size(); ++i) {
        texts[i] = static_cast<char*>(calloc(i < parts.size() ? parts[i].size() + 1 : 1, 1));
        void* kinds[] = {texts[i], &numbers[i], &mark};
        pointers[i] = i == nullAt ? nullptr : kinds[strchr(kKinds, format[i]) - kKinds];
    }
    check(ini.GetSection("s") == 0 &&
              ini.ScanItem("Key", &format[0], pointers[0], pointers[1], pointers[2], pointers[3],
                           pointers[4], pointers[5], pointers[6]) == 0,
          "ScanItem finds the item");
    size_t converted = std::min({format.size(), nullAt, parts.size()});
    for (size_t i = 0; i < format.size(); ++i) {
        char kind = i < converted ? format[i] : 'x';
        check(strcmp(texts[i], kind == 's' ? parts[i].c_str() : "") == 0 && mark == '#' &&
                  numbers[i] == (kind == 'd' ? atoi(parts[i].c_str()) : 7),
              "ScanItem: s and d store their part, nothing else is touched");
        free(texts[i]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const kSymbols[] = {";", "#;", "", ",", "\"", "\\", " ", "=\t"};
    static const std::string path = "/tmp/ini_fuzz_" + std::to_string(getpid()) + ".ini";
    zolfuzz::Input in(data, size);
    std::string symbols = kSymbols[in.byte() & 7], format;
    for (size_t length = in.upTo(6); format.size() < length;) {
        format += kKinds[in.byte() % 3];
    }
    size_t nullAt = in.upTo(7);
    std::string raw(reinterpret_cast<const char*>(data) + size - in.remaining(), in.remaining());
    // One read takes 599 characters: "key=" and 595 of the value's line.
    std::string line = raw.substr(0, std::min(raw.find('\n'), size_t{595}));
    line.resize(std::min(line.find('\0'), line.size()));
    checkGetValue(line);  // over 511 characters too, which no getter passes on
    line.erase(line.find_last_not_of('\r') + 1);
    line.erase(line.find_last_not_of(" \t") + 1);
    line.erase(0, std::min(line.find_first_not_of(" \t"), line.size()));
    std::string value = line.substr(0, std::min(line.find_first_of(symbols), kLongestValue));
    std::ofstream(path, std::ios::binary) << "[S]\nkey=" << raw;
    {
        CZolIniFile ini(path.c_str(), CZolIniFile::eRead);
        std::vector<char> found(512), name(33);
        check(ini.SetCommentSymbols(symbols.c_str()) == 0 && ini.GetSection("S") == 0 &&
                  ini.FindItem("KEY", found.data()) == 0 && value == found.data(),
              "FindItem: the trimmed value, cut at 511 characters and at a comment symbol");
        checkScanItem(ini, format, nullAt, checkGetValue(value));
        while (ini.GetNextSection(name.data()) == 0) {  // every header, into exactly 33 bytes
            ini.SetBookMark();
            ini.FindItem(name.data(), found.data());
        }
    }
    // Removed after every input: libFuzzer may end the process without running atexit.
    remove(path.c_str());
    return 0;
}
