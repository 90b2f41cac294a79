// ZolFormat.cpp - printf-style formatting into fixed buffers, with work bounded by the
// buffer rather than by the field widths the format asks for.
#include "detail/ZolFormat.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

// The conversions are rebuilt at run time from a format the caller already handed over.
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"

namespace {

// Widths and precisions up to this are left to vsnprintf as written: producing that many
// bytes costs next to nothing.
constexpr long kCheapField = 4096;
// A numeric precision beyond this only adds zeros (a long double has at most 16,445
// fraction digits, an integer far fewer), so the digits past it are known without work.
constexpr long kExactDigits = 16500;
// Widths and precisions written in the format saturate here, far beyond any int.
constexpr long kSaturated = 1L << 40;

enum class Kind {
    Int,
    Long,
    Double,
    LongDouble,
    Char,
    WideChar,
    String,
    WideString,
    Pointer,
    None
};

struct Directive {
    char flags[8] = {};
    long width = -1;
    bool widthStar = false;
    long precision = -1;
    bool precisionStar = false;
    char length[3] = {};
    char conversion = 0;
    Kind kind = Kind::None;
};

long readNumber(const char*& p) {
    long value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value < kSaturated ? value * 10 + (*p - '0') : kSaturated;
        ++p;
    }
    return value;
}

// A '*' or a number followed by '$' is a positional argument.
bool positional(const char* p) {
    while (*p >= '0' && *p <= '9') {
        ++p;
    }
    return *p == '$';
}

// Parses one conversion after its '%' and moves p past it. False for what this file does
// not reproduce (positional arguments, %n, unknown conversions): vsnprintf gets those.
bool parseDirective(const char*& p, Directive& s) {
    size_t flagCount = 0;
    while (*p != '\0' && strchr("-+ #0'", *p) != nullptr) {
        if (flagCount < sizeof s.flags - 1) {
            s.flags[flagCount++] = *p;
        }
        ++p;
    }
    if (*p == '*') {
        s.widthStar = true;
        if (positional(++p)) {
            return false;
        }
    } else if (positional(p)) {
        return false;
    } else if (*p >= '0' && *p <= '9') {
        s.width = readNumber(p);
    }
    if (*p == '.') {
        ++p;
        if (*p == '*') {
            s.precisionStar = true;
            if (positional(++p)) {
                return false;
            }
        } else {
            s.precision = readNumber(p);
        }
    }
    size_t lengthCount = 0;
    while (*p != '\0' && strchr("hlqjzZtL", *p) != nullptr && lengthCount < 2) {
        s.length[lengthCount++] = *p++;
    }
    const bool wide = s.length[0] == 'l';
    const bool longValue = s.length[0] != '\0' && s.length[0] != 'h';
    s.conversion = *p;
    if (s.conversion == '\0') {
        return false;  // a lone '%' at the end
    }
    ++p;
    switch (s.conversion) {
        case 'd':
        case 'i':
        case 'o':
        case 'u':
        case 'x':
        case 'X':
            s.kind = longValue ? Kind::Long : Kind::Int;
            return true;
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            s.kind = s.length[0] == 'L' ? Kind::LongDouble : Kind::Double;
            return true;
        case 'c':
            s.kind = wide ? Kind::WideChar : Kind::Char;
            return true;
        case 'C':
            s.kind = Kind::WideChar;
            return true;
        case 's':
            s.kind = wide ? Kind::WideString : Kind::String;
            return true;
        case 'S':
            s.kind = Kind::WideString;
            return true;
        case 'p':
            s.kind = Kind::Pointer;
            return true;
        case 'm':
            s.kind = Kind::None;
            return true;
        default:
            return false;
    }
}

union Value {
    int i;
    long l;
    double d;
    long double ld;
    wint_t wc;
    const void* ptr;
};

// One conversion with the given width and precision (-1: none) into out, as snprintf.
int emit(char* out, size_t size, const Directive& s, bool left, long width, long precision,
         const Value& v, int savedErrno) {
    char directive[64];
    char widthText[24] = "";
    char precisionText[24] = "";
    if (width >= 0) {
        snprintf(widthText, sizeof widthText, "%ld", width);
    }
    if (precision >= 0) {
        snprintf(precisionText, sizeof precisionText, ".%ld", precision);
    }
    snprintf(directive, sizeof directive, "%%%s%s%s%s%s%c", s.flags, left ? "-" : "", widthText,
             precisionText, s.length, s.conversion);
    errno = savedErrno;  // for %m
    switch (s.kind) {
        case Kind::Int:
        case Kind::Char:
            return snprintf(out, size, directive, v.i);
        case Kind::Long:
            return snprintf(out, size, directive, v.l);
        case Kind::Double:
            return snprintf(out, size, directive, v.d);
        case Kind::LongDouble:
            return snprintf(out, size, directive, v.ld);
        case Kind::WideChar:
            return snprintf(out, size, directive, v.wc);
        case Kind::String:
        case Kind::WideString:
        case Kind::Pointer:
            return snprintf(out, size, directive, v.ptr);
        case Kind::None:
            return snprintf(out, size, directive);
    }
    return -1;
}

// Formats conversion by conversion, each with its padding cut to what can still be seen
// (the room left plus one byte), while the full length is still counted: vsnprintf fails
// when the whole text would exceed INT_MAX bytes, and so must this.
void formatBounded(char* buffer, size_t size, const char* format, va_list args) {
    const int savedErrno = errno;
    size_t used = 0;
    long total = 0;
    auto put = [&](const char* text, size_t count) {
        size_t copied = count < size - 1 - used ? count : size - 1 - used;
        memcpy(buffer + used, text, copied);
        used += copied;
        total += static_cast<long>(count);
    };
    const char* p = format;
    while (*p != '\0' && total <= INT_MAX) {
        if (*p != '%' || p[1] == '%') {
            put(p, 1);
            p += *p == '%' ? 2 : 1;
            continue;
        }
        ++p;
        Directive s;
        parseDirective(p, s);  // already accepted by the caller's scan
        bool left = false;
        long width = s.width;
        long precision = s.precision;
        if (s.widthStar) {
            long starred = va_arg(args, int);
            left = starred < 0;
            width = left ? -starred : starred;
        }
        if (s.precisionStar) {
            int starred = va_arg(args, int);
            precision = starred < 0 ? -1 : starred;
        }
        Value v;
        switch (s.kind) {
            case Kind::Int:
            case Kind::Char:
                v.i = va_arg(args, int);
                break;
            case Kind::Long:
                v.l = va_arg(args, long);
                break;
            case Kind::Double:
                v.d = va_arg(args, double);
                break;
            case Kind::LongDouble:
                v.ld = va_arg(args, long double);
                break;
            case Kind::WideChar:
                v.wc = va_arg(args, wint_t);
                break;
            case Kind::String:
            case Kind::WideString:
            case Kind::Pointer:
                v.ptr = va_arg(args, const void*);
                break;
            case Kind::None:
                break;
        }
        const bool numeric = s.kind == Kind::Int || s.kind == Kind::Long ||
                             s.kind == Kind::Double || s.kind == Kind::LongDouble;
        long shownPrecision = numeric && precision > kExactDigits ? kExactDigits : precision;
        int valueLength = emit(nullptr, 0, s, left, -1, shownPrecision, v, savedErrno);
        if (valueLength < 0) {
            total = -1;
            break;
        }
        long fullLength = valueLength;
        if (shownPrecision != precision) {
            // Past the exact digits every further unit of precision adds one zero or none.
            int longer = emit(nullptr, 0, s, left, -1, shownPrecision + 1, v, savedErrno);
            fullLength += (longer - valueLength) * (precision - shownPrecision);
        }
        long pad = width > fullLength ? width - fullLength : 0;
        total += fullLength + pad;
        long room = static_cast<long>(size - 1 - used);
        long shownPad = pad < room + 1 ? pad : room + 1;
        if (room > 0) {
            int written =
                emit(buffer + used, static_cast<size_t>(room) + 1, s, left,
                     shownPad > 0 ? valueLength + shownPad : -1, shownPrecision, v, savedErrno);
            used += static_cast<size_t>(written < room ? written : room);
        }
    }
    buffer[total < 0 || total > INT_MAX ? 0 : used] = '\0';
}

}  // namespace

void zolFormatBounded(char* buffer, size_t size, const char* format, va_list args) {
    bool cheap = true;
    for (const char* p = format; *p != '\0';) {
        if (*p++ != '%') {
            continue;
        }
        if (*p == '%') {
            ++p;
            continue;
        }
        Directive s;
        if (!parseDirective(p, s)) {
            cheap = true;  // vsnprintf handles what this file does not reproduce
            break;
        }
        if (s.widthStar || s.precisionStar || s.width > kCheapField || s.precision > kCheapField) {
            cheap = false;
        }
    }
    if (!cheap) {
        formatBounded(buffer, size, format, args);
    } else if (vsnprintf(buffer, size, format, args) < 0) {
        buffer[0] = '\0';
    }
}
