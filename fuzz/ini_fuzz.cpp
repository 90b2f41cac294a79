// Writes the input as a configuration file and drives CZolIniFile through a sequence of
// operations decoded from the input's last bytes (read backwards), so that a plain INI file
// is a valid seed. Exactly sized heap buffers let the address sanitizer catch any write
// past the room each operation promises to keep within.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "CZolIniFile.h"

namespace {

const std::string& filePath() {
    static const std::string path = "/tmp/ini_fuzz_" + std::to_string(getpid()) + ".ini";
    return path;
}

const char* const kNames[] = {
    "net",
    "PORT",
    "[Disk]",
    "size",
    "a",
    "",
    " Port",
    "Name",
    "[",
    "]",
    "x",
    "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA",
    "ABCDEFGHIJKLMNOPQRSTUVWXYZABCDEF",
    "=",
    ";",
    "[ a b ]",
};
const char* const kFormats[] = {"ddd", "sPp", "lfFc", "xPs", "PPPP", "pnsd", "", "ssss"};
const char* const kSymbols[] = {";", "#;", nullptr,           "",
                                "=", "[",  "abcdefghijklmno", "abcdefghijklmnop"};

void check(bool condition) {
    if (!condition) {
        abort();
    }
}

// A name from the table, or a short piece of the input itself so that names the file
// really holds get looked up too.
std::string nameFor(unsigned selector, const uint8_t* data, size_t size) {
    if (selector < 12 || size == 0) {
        return kNames[selector % 16];
    }
    size_t start = (selector * 37u) % size;
    std::string name;
    for (size_t i = start; i < size && name.size() < 40; ++i) {
        char c = static_cast<char>(data[i]);
        if (c == '=' || c == '\n' || c == '\0' || c == ']') {
            break;
        }
        name += c;
    }
    return name;
}

void checkContext(const CZolIniFile& ini) {
    check(strnlen(ini.m_szSection, 33) <= 32);
    check(strnlen(ini.m_szItem, 33) <= 32);
    check(strnlen(ini.m_szCommentSymbols, 16) <= 15);
}

void runOperation(CZolIniFile& ini, uint8_t op, const uint8_t* data, size_t size) {
    unsigned arg = op >> 4;
    std::string name = nameFor(((op * 7u) >> 3) & 0x1fu, data, size);
    const char* item = name.c_str();
    switch (op & 0x0f) {
        case 0:
            ini.GetSection(item);
            break;
        case 1: {
            char* section = static_cast<char*>(malloc(33));
            if (ini.GetNextSection(section) == 0) {
                check(strlen(section) <= 32);
            }
            free(section);
            break;
        }
        case 2: {
            int i = 0;
            long l = 0;
            short s = 0;
            unsigned int u = 0;
            ini.GetItem(item, i);
            ini.GetItem(item, l);
            ini.GetItem(item, s);
            ini.GetItem(item, u);
            break;
        }
        case 3: {
            char* text = static_cast<char*>(malloc(512));
            if (ini.GetItem(item, text) == 0) {
                check(strlen(text) < 512);
            }
            free(text);
            break;
        }
        case 4: {
            int n = static_cast<int>(arg) * 3;
            char* text = static_cast<char*>(malloc(n > 0 ? n : 1));
            ini.GetItem(item, text, n);
            free(text);
            break;
        }
        case 5: {
            char* copy = nullptr;
            ini.GetItem(item, &copy);
            free(copy);
            break;
        }
        case 6: {
            char format[8];
            strcpy(format, kFormats[arg % 8]);
            char* texts[4];
            char** lines[4] = {};
            char* copies[4] = {};
            double numbers[4];
            for (int i = 0; i < 4; ++i) {
                texts[i] = static_cast<char*>(malloc(512));
            }
            // Every slot gets storage wide enough for whichever conversion lands there.
            void* targets[4];
            for (int i = 0; i < 4; ++i) {
                char c = format[i < static_cast<int>(strlen(format)) ? i : 0];
                targets[i] = c == 's'   ? static_cast<void*>(texts[i])
                             : c == 'P' ? static_cast<void*>(&lines[i])
                             : c == 'p' ? static_cast<void*>(&copies[i])
                                        : static_cast<void*>(&numbers[i]);
            }
            ini.ScanItem(item, format, targets[0], targets[1], targets[2], targets[3], nullptr);
            for (int i = 0; i < 4; ++i) {
                free(texts[i]);
                free(lines[i]);
                free(copies[i]);
            }
            break;
        }
        case 7:
            ini.SetBookMark();
            break;
        case 8:
            ini.GoBookMark(static_cast<int>(arg) - 2);
            break;
        case 9:
            ini.SetCommentSymbols(kSymbols[arg % 8]);
            break;
        case 10: {
            int max = static_cast<int>(arg) * 5;
            char* buffer = static_cast<char*>(malloc(max > 0 ? max : 1));
            int stored = ini._GetLine(buffer, max, '\n');
            check(stored >= 0 && stored <= (max > 0 ? max : 0));
            free(buffer);
            break;
        }
        case 11:
            ini.ReOpen();
            break;
        case 12: {
            char value[] = "v";
            ini.Write(item, "x", static_cast<int>(arg));
            ini.Write(item, "x", value);
            break;
        }
        case 13: {
            char* value = static_cast<char*>(malloc(514));
            value[0] = '\0';
            if (ini.FindItem(item, value) == 0) {
                check(strlen(value) <= 511);
                char* cursor = value;
                for (int i = 0; i < 20 && ini.GetValue(cursor) != nullptr; ++i) {
                }
            }
            free(value);
            break;
        }
        case 14: {
            size_t length = strnlen(item, 40);
            char* copy = static_cast<char*>(malloc(length + 3));
            memcpy(copy, item, length);
            copy[length] = '\0';
            ini.CompleteSection(copy);
            free(copy);
            break;
        }
        default: {
            double d = 0;
            float f = 0;
            char c = 0;
            ini.GetItem(item, d);
            ini.GetItem(item, f);
            ini.GetItem(item, c);
            break;
        }
    }
    checkContext(ini);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* file = fopen(filePath().c_str(), "wb");
    if (file == nullptr) {
        return 0;
    }
    if (size > 0) {
        fwrite(data, 1, size, file);
    }
    fclose(file);

    {
        CZolIniFile ini(filePath().c_str(),
                        size % 3 == 0 ? CZolIniFile::eReadWrite : CZolIniFile::eRead);
        size_t operations = ini.m_bOpen != 0 ? (size < 48 ? size : 48) : 0;
        for (size_t i = 0; i < operations; ++i) {
            runOperation(ini, data[size - 1 - i], data, size);
        }
    }
    // Removed after every input: libFuzzer may end the process without running atexit.
    remove(filePath().c_str());
    return 0;
}
