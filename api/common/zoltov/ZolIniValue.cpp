// ZolIniValue.cpp - the value layer of CZolIniFile: splitting an item's value into parts
// (GetValue) and converting parts into the destinations of GetItem and ScanItem, both
// through one conversion table.
#include <locale.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "CZolIniFile.h"
#include "ZolCString.h"
#include "detail/ZolIniValue.h"

namespace {

// The value buffer: FindItem's 511 characters and terminator, plus the comma and new
// terminator GetValue may append.
constexpr int kValueBuffer = kZolIniValueLength + 3;

// A configuration file must mean the same in every locale, so numbers are read with the C
// locale whatever the process selected: under a comma-decimal locale strtod would stop at
// "1.5"'s point, and a part cannot hold "1,5". One object serves every thread (the
// initialisation of a local static is thread-safe); newlocale does not fail for "C".
locale_t cLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    return locale;
}

long toLong(const char* part) {
    return strtol_l(part, nullptr, 10, cLocale());
}

double toDouble(const char* part) {
    return strtod_l(part, nullptr, cLocale());
}

template <typename T>
T& as(void* destination) {
    return *static_cast<T*>(destination);
}

template <typename T>
int put(void* destination, T value) {
    as<T>(destination) = value;
    return 0;
}

// The destination of GetItem(item, char*, n).
struct Bounded {
    char* text;
    int n;
};

// The P conversion: the part split at each backslash-n into one Str_AllocMem block.
// The strings have the part's length as capacity, and no string receives more than the
// part's characters, so nothing can overflow. -1 when the block cannot be allocated.
int storeLines(char* part, void* destination) {
    int length = static_cast<int>(strlen(part));
    int breaks = 0;
    for (int i = 0; i + 1 < length; ++i) {
        if (part[i] == '\\' && part[i + 1] == 'n') {
            ++breaks;
        }
    }
    char** lines = Str_AllocMem(length, breaks + 1, 1);
    as<char**>(destination) = lines;
    if (lines == nullptr) {
        return -1;
    }
    int line = 0;
    int column = 0;
    bool justBroken = false;
    for (int i = 0; i < length; ++i) {
        justBroken = false;
        if (part[i] == '\\' && part[i + 1] == 'n') {
            lines[line][column] = '\0';
            ++line;
            column = 0;
            ++i;
            justBroken = true;
        } else if (part[i] == '\\' && part[i + 1] == '"') {
            lines[line][column++] = '"';
            ++i;
        } else {
            lines[line][column++] = part[i];
        }
    }
    // A part ending in backslash-n leaves its last string as the spaces it was filled with.
    if (!justBroken) {
        lines[line][column] = '\0';
    }
    return 0;
}

// How a part is stored into a destination: 0, or -1 when memory for it ran out.
using Store = int (*)(char* part, void* destination);

struct Conversion {
    const char* letters;  // its ScanItem characters; none for the getter-only conversions
    Store store;
};

enum Kind {
    kInt,
    kLow32,
    kFloat,
    kDouble,
    kChar,
    kText,
    kCopy,
    kLines,
    kUnsigned,
    kShort,
    kLong,
    kCopyOrNull,
    kBounded,
    kKinds
};

// Every conversion of a part, for GetItem and ScanItem alike, indexed by Kind.
const Conversion kConversions[kKinds] = {
    {"dn", [](char* p, void* d) { return put<int>(d, static_cast<int>(toLong(p))); }},
    // Wraps beyond the 32-bit range, unlike the long getter.
    {"l", [](char* p, void* d) { return put<long>(d, static_cast<int>(toLong(p))); }},
    {"f", [](char* p, void* d) { return put<float>(d, static_cast<float>(toDouble(p))); }},
    {"F", [](char* p, void* d) { return put<double>(d, toDouble(p)); }},
    {"c", [](char* p, void* d) { return put<char>(d, p[0]); }},
    {"s",
     [](char* p, void* d) {
         strcpy(static_cast<char*>(d), p);
         return 0;
     }},
    {"p",
     [](char* p, void* d) {
         // An empty part gives null; a copy that cannot be made fails the scan.
         if (p[0] == '\0') {
             return put<char*>(d, nullptr);
         }
         char* copy = strdup(p);
         return copy != nullptr ? put<char*>(d, copy) : -1;
     }},
    {"P", storeLines},
    {"", [](char* p, void* d) { return put<unsigned int>(d, static_cast<unsigned>(toLong(p))); }},
    {"", [](char* p, void* d) { return put<short>(d, static_cast<short>(toLong(p))); }},
    {"", [](char* p, void* d) { return put<long>(d, toLong(p)); }},
    // The char** getter reports a failed copy as null, not as a failed lookup.
    {"", [](char* p, void* d) { return put<char*>(d, p[0] != '\0' ? strdup(p) : nullptr); }},
    {"",
     [](char* p, void* d) {
         Bounded& bounded = as<Bounded>(d);
         if (bounded.n > 0) {
             strncpy(bounded.text, p, static_cast<size_t>(bounded.n));
         }
         return 0;
     }},
};

// The conversion of ScanItem's character c, or null for a character that stores nothing.
const Conversion* scanConversion(char c) {
    for (const Conversion& conversion : kConversions) {
        if (c != '\0' && strchr(conversion.letters, c) != nullptr) {
            return &conversion;
        }
    }
    return nullptr;
}

// The body of every GetItem overload: a null destination is refused before any lookup;
// otherwise FindItem, then the first part of the value ("" for an empty value) stored
// through the conversion `kind`.
template <Kind kind, typename Destination>
int getItem(CZolIniFile& ini, const char* item, Destination* destination) {
    char buffer[kValueBuffer];
    buffer[0] = '\0';
    if (destination == nullptr || ini.FindItem(item, buffer) != 0) {
        return -1;
    }
    char* cursor = buffer;
    char* part = ini.GetValue(cursor);
    kConversions[kind].store(part != nullptr ? part : buffer, destination);
    return 0;
}

}  // namespace

char* CZolIniFile::GetValue(char*& cursor) {
    char* text = cursor;
    if (text == nullptr || *text == '\0') {
        return nullptr;
    }
    size_t length = strlen(text);
    if (length <= static_cast<size_t>(kZolIniValueLength) && text[length - 1] != ',') {
        text[length] = ',';
        text[length + 1] = '\0';
    }
    char* start = text;
    while (*start == ' ') {
        ++start;
    }
    bool inQuotes = false;
    bool quoted = false;
    for (char* p = start; *p != '\0'; ++p) {
        if (*p == '"') {
            if (p > text && p[-1] == '\\') {
                // Drop the backslash; the quote, now at p - 1, is an ordinary character.
                memmove(p - 1, p, strlen(p) + 1);
                --p;
            } else if (!inQuotes && p == start) {
                inQuotes = true;
                quoted = true;
                ++start;
            } else if (inQuotes) {
                inQuotes = false;
            }
        } else if (*p == ',' && !inQuotes) {
            char* end = p;
            while (end > start && end[-1] == ' ') {
                --end;
            }
            if (quoted && end > start && end[-1] == '"') {
                --end;
            }
            *end = '\0';
            cursor = p + 1;
            return start;
        }
    }
    return start;
}

int CZolIniFile::GetItem(const char* item, int& value) {
    return getItem<kInt>(*this, item, &value);
}

int CZolIniFile::GetItem(const char* item, unsigned int& value) {
    return getItem<kUnsigned>(*this, item, &value);
}

int CZolIniFile::GetItem(const char* item, short& value) {
    return getItem<kShort>(*this, item, &value);
}

int CZolIniFile::GetItem(const char* item, long& value) {
    return getItem<kLong>(*this, item, &value);
}

int CZolIniFile::GetItem(const char* item, double& value) {
    return getItem<kDouble>(*this, item, &value);
}

int CZolIniFile::GetItem(const char* item, float& value) {
    return getItem<kFloat>(*this, item, &value);
}

int CZolIniFile::GetItem(const char* item, char& value) {
    return getItem<kChar>(*this, item, &value);
}

int CZolIniFile::GetItem(const char* item, char* value) {
    return getItem<kText>(*this, item, value);
}

int CZolIniFile::GetItem(const char* item, char* value, int n) {
    Bounded bounded{value, n};
    return getItem<kBounded>(*this, item, value != nullptr ? &bounded : nullptr);
}

int CZolIniFile::GetItem(const char* item, char** value) {
    return getItem<kCopyOrNull>(*this, item, value);
}

int CZolIniFile::ScanItem(const char* item, char* format, ...) {
    char buffer[kValueBuffer];
    buffer[0] = '\0';
    if (FindItem(item, buffer) != 0) {
        return -1;
    }
    va_list arguments;
    va_start(arguments, format);
    void* target = va_arg(arguments, void*);
    int result = 0;
    char* cursor = buffer;
    char* part = nullptr;
    // Stops at the end of the format, at a null pointer argument or at the end of the value.
    for (const char* c = format;
         c != nullptr && *c != '\0' && target != nullptr && (part = GetValue(cursor)) != nullptr;) {
        const Conversion* conversion = scanConversion(*c);
        if (conversion != nullptr && conversion->store(part, target) != 0) {
            result = -1;
            break;
        }
        if (*++c != '\0') {
            target = va_arg(arguments, void*);
        }
    }
    va_end(arguments);
    return result;
}
