// zoltov ini sections FILE
// zoltov ini get FILE SECTION ITEM [--type int|long|double|char|string|parts]
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "CZolIniFile.h"
#include "ZolTool.h"

namespace zoltool {

namespace {

// The reader keeps section and item names in 32 characters, and a section's bracketed
// form in 31; longer names are refused here rather than silently cut.
constexpr size_t kMaxItemName = 32;
constexpr size_t kMaxBracketedSection = 31;

// Value buffer for FindItem: 512 bytes of value plus the two that GetValue may append.
constexpr size_t kValueBuffer = 514;

// Opens file for the reader, refusing what is not a readable regular file: a device
// such as /dev/zero would be read for ever, and opening a FIFO blocks.
int openFile(CZolIniFile& ini, const std::string& file) {
    int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return fail(kExitFailed, "cannot open '" + escaped(file) + "': " + reason());
    }
    struct stat st;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    close(fd);
    if (!regular) {
        return fail(kExitFailed, "cannot read '" + escaped(file) + "': not a regular file");
    }
    if (ini.ReOpen(file.c_str(), CZolIniFile::eRead) != 0) {
        return fail(kExitFailed, "cannot open '" + escaped(file) + "': " + reason());
    }
    return kExitOk;
}

size_t bracketedLength(const std::string& section) {
    size_t n = section.size();
    if (section.empty() || section.front() != '[') {
        ++n;
    }
    if (section.empty() || section.back() != ']') {
        ++n;
    }
    return n;
}

// Every part of the value, one per line, as GetValue takes them off.
int printParts(CZolIniFile& ini, const char* item) {
    char value[kValueBuffer] = {};
    if (ini.FindItem(item, value) != 0) {
        return kExitNotFound;
    }
    char* cursor = value;
    while (char* part = ini.GetValue(cursor)) {
        std::printf("%s\n", part);
        // An open quote (or an over-long value) leaves the cursor where it was: the
        // rest is one last part, and asking again would return it for ever.
        if (cursor <= part) {
            break;
        }
    }
    return kExitOk;
}

// Checks text (the value's first part) as the library converted it: the whole part must
// be a number in range. The library itself converts silently, so a value such as
// "localhost" or 4000000000 for an int is reported here with what the library gave.
bool convertsCleanly(const std::string& type, const char* text) {
    static locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
    char* end = nullptr;
    errno = 0;
    if (type == "double") {
        (void)strtod_l(text, &end, c);
    } else {
        long v = std::strtol(text, &end, 10);
        if (type == "int" && (v < INT_MIN || v > INT_MAX)) {
            errno = ERANGE;
        }
    }
    return end != text && *end == '\0' && errno != ERANGE;
}

// Where an item is looked for: the file and section, for the second look-up that a
// number needs (a look-up moves the reader past the item).
struct Place {
    std::string file;
    std::string section;
};

// Opens place's file and moves to its section; false (with the message given) on failure.
int seek(CZolIniFile& ini, const Place& place) {
    if (int status = openFile(ini, place.file)) {
        return status;
    }
    // An empty section name reads the lines before the first section header.
    if (!place.section.empty() && ini.GetSection(place.section.c_str()) != 0) {
        return fail(kExitNotFound, "section '" + escaped(place.section) + "' not found in '" +
                                       escaped(place.file) + "'");
    }
    return kExitOk;
}

template <typename T>
int printNumber(CZolIniFile& ini, const Place& place, const char* item, const std::string& type,
                const char* format) {
    T v = 0;
    if (ini.GetItem(item, v) != 0) {
        return kExitNotFound;
    }
    char text[kValueBuffer] = {};
    if (int status = seek(ini, place)) {
        return status;
    }
    if (ini.GetItem(item, text) != 0) {
        return kExitNotFound;
    }
    char shown[64];
    std::snprintf(shown, sizeof shown, format, v);
    if (!convertsCleanly(type, text)) {
        return fail(kExitFailed, "'" + escaped(text) + "' is not a valid " + type +
                                     "; the library reads it as " + shown);
    }
    std::printf("%s\n", shown);
    return kExitOk;
}

int printTyped(CZolIniFile& ini, const Place& place, const char* item, const std::string& type) {
    if (type == "int") {
        return printNumber<int>(ini, place, item, type, "%d");
    }
    if (type == "long") {
        return printNumber<long>(ini, place, item, type, "%ld");
    }
    if (type == "double") {
        return printNumber<double>(ini, place, item, type, "%.17g");
    }
    if (type == "char") {
        char v = 0;
        if (ini.GetItem(item, v) != 0) {
            return kExitNotFound;
        }
        // An empty value gives the terminator: print an empty line, not a NUL byte.
        if (v != '\0') {
            std::putchar(v);
        }
        std::putchar('\n');
        return kExitOk;
    }
    if (type == "string") {
        char v[kValueBuffer] = {};
        if (ini.GetItem(item, v) != 0) {
            return kExitNotFound;
        }
        std::printf("%s\n", v);
        return kExitOk;
    }
    return printParts(ini, item);
}

}  // namespace

int runIniSections(const Invocation& in) {
    CZolIniFile ini;
    if (int status = openFile(ini, in.operands[0])) {
        return status;
    }
    char name[33];
    while (ini.GetNextSection(name) == 0) {
        std::printf("%s\n", name);
    }
    return kExitOk;
}

int runIniGet(const Invocation& in) {
    const std::string type = in.has("type") ? in.options.at("type") : "string";
    static const char* const kTypes[] = {"int", "long", "double", "char", "string", "parts"};
    bool known = false;
    for (const char* t : kTypes) {
        known = known || type == t;
    }
    if (!known) {
        return fail(kExitUsage, "unknown type '" + escaped(type) +
                                    "' (int, long, double, char, string or parts)");
    }
    const std::string& file = in.operands[0];
    const std::string& section = in.operands[1];
    const std::string& item = in.operands[2];
    if (bracketedLength(section) > kMaxBracketedSection) {
        return fail(kExitUsage, "section name too long: '" + escaped(section) + "'");
    }
    if (item.empty() || item.size() > kMaxItemName) {
        return fail(kExitUsage, "item name must have 1 to 32 characters");
    }
    const Place place = {file, section};
    CZolIniFile ini;
    if (int status = seek(ini, place)) {
        return status;
    }
    int status = printTyped(ini, place, item.c_str(), type);
    if (status == kExitNotFound) {
        return fail(kExitNotFound, "item '" + escaped(item) + "' not found in section '" +
                                       escaped(section) + "' of '" + escaped(file) + "'");
    }
    return status;
}

}  // namespace zoltool
