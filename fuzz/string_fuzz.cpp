// Drives two CZolStrings through operations decoded from the input and mirrors each one
// on a std::string model, within the bounds the class states (positions inside the text,
// counts not negative, formats cut at 511 and 255 bytes). After every operation both
// strings must hold exactly their model's bytes; searches, comparisons and cuts must give
// the model's answers. Left, Right and Mid follow the library's own definitions: Right(n)
// drops n bytes, and a count past the end gives the empty string, not the whole text.
#include <stdarg.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "CZolString.h"
#include "FuzzInput.h"

using zolfuzz::check;
using zolfuzz::Input;

namespace {

// Texts grow by doubling when appended to themselves; keep them small enough to stay fast.
constexpr size_t kLongest = 4096;

void formatThroughList(CZolString& target, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    target.formatV(fmt, args);
    va_end(args);
}

void expectText(const CZolString& real, const std::string& model, const char* what) {
    const char* text = real.c_str();
    check(text != nullptr, "c_str() is never null");
    check(real.GetLength() == static_cast<int>(model.size()), what);
    check(real.IsEmpty() == (model.empty() ? 1 : 0), what);
    check(memcmp(text, model.c_str(), model.size() + 1) == 0, what);
    check(static_cast<const char*>(real) == text, "the conversion is c_str()");
}

// The library's cuts, on the model.
std::string modelLeft(const std::string& s, size_t n) {
    return n > s.size() ? std::string() : s.substr(0, n);
}
std::string modelRight(const std::string& s, size_t n) {
    return n > s.size() ? std::string() : s.substr(n);
}
std::string modelMid(const std::string& s, size_t first, size_t count) {
    return first >= s.size() ? std::string() : s.substr(first, count);
}

int sign(int value) {
    return (value > 0) - (value < 0);
}

void runOperation(Input& in, CZolString* strings, std::string* models) {
    uint8_t op = in.byte();
    CZolString& s = strings[op >> 7];
    std::string& m = models[op >> 7];
    CZolString& other = strings[(op >> 6) & 1];
    const std::string otherModel = models[(op >> 6) & 1];
    size_t length = m.size();
    switch (op % 20) {
        case 0: {
            std::string text = in.text(200);
            s = text.c_str();
            m = text;
            break;
        }
        case 1:
            if ((in.byte() & 1) != 0) {
                s = static_cast<const char*>(nullptr);
            } else {
                s.Empty();
            }
            m.clear();
            break;
        case 2:
            // Assignment from another string or from itself.
            s = other;
            m = otherModel;
            break;
        case 3: {
            // Assignment from a pointer into the string's own text.
            size_t from = in.upTo(static_cast<uint32_t>(length));
            s = s.c_str() + from;
            m = m.substr(from);
            break;
        }
        case 4: {
            // The counted constructor copies NULs too; the length ends at the first one.
            std::string raw = in.bytes(64);
            CZolString built(reinterpret_cast<unsigned char*>(&raw[0]),
                             static_cast<int>(raw.size()));
            s = built;
            m = raw.substr(0, raw.find('\0'));
            expectText(CZolString(static_cast<unsigned char*>(nullptr), 3), "", "null counted");
            break;
        }
        case 5: {
            CZolString copy(other);
            expectText(copy, otherModel, "copy construction");
            s = copy;
            m = otherModel;
            break;
        }
        case 6:
            s += other;
            m += otherModel;
            break;
        case 7: {
            uint8_t how = in.byte() % 3;
            if (how == 0) {
                s += static_cast<const char*>(nullptr);
            } else if (how == 1) {
                std::string text = in.text(64);
                s += text.c_str();
                m += text;
            } else {
                size_t from = in.upTo(static_cast<uint32_t>(length));
                s += s.c_str() + from;
                m += m.substr(from);
            }
            break;
        }
        case 8: {
            // Appending a NUL byte stores it, but the text still ends there.
            char c = static_cast<char>(in.byte());
            if ((op & 0x20) != 0) {
                s << c;
            } else {
                s += c;
            }
            if (c != '\0') {
                m += c;
            }
            break;
        }
        case 9: {
            size_t index = in.upTo(static_cast<uint32_t>(length));
            char c = static_cast<char>(in.byte());
            s.InsertAt(static_cast<int>(index), c);
            m = c == '\0' ? m.substr(0, index) : m.insert(index, 1, c);
            break;
        }
        case 10:
            if (length != 0) {
                size_t index = in.upTo(static_cast<uint32_t>(length - 1));
                char c = static_cast<char>(in.byte());
                check(s.GetAt(static_cast<int>(index)) == m[index], "GetAt");
                check(s[static_cast<int>(index)] == m[index], "operator[]");
                s.SetAt(static_cast<int>(index), c);
                m = c == '\0' ? m.substr(0, index) : m.replace(index, 1, 1, c);
            }
            break;
        case 11: {
            if ((op & 0x20) != 0) {
                int value = static_cast<int>(in.u32());
                s << value;
                m += std::to_string(value);
            } else {
                long value = static_cast<long>(in.u64());
                s << value;
                m += std::to_string(value);
            }
            break;
        }
        case 12: {
            // Output over 511 bytes is cut; the text may also be the string's own.
            std::string text = in.text(255);
            int repeat = in.upTo(4);
            std::string expected;
            for (int i = 0; i < repeat; ++i) {
                expected += text;
            }
            if ((in.byte() & 1) != 0) {
                s.Format("%s%s", s.c_str(), expected.c_str());
                expected = m + expected;
            } else {
                s.Format("%s", expected.c_str());
            }
            m = expected.substr(0, 511);
            break;
        }
        case 13: {
            std::string text = in.text(255);
            int number = static_cast<int>(in.u32());
            formatThroughList(s, "%s|%d|%s", text.c_str(), number, m.c_str());
            m = (text + "|" + std::to_string(number) + "|" + m).substr(0, 255);
            break;
        }
        case 14:
            s.MakeUpper();
            for (char& c : m) {
                if (c >= 'a' && c <= 'z') {
                    c = static_cast<char>(c - 'a' + 'A');
                }
            }
            break;
        case 15: {
            char c = static_cast<char>(in.byte());
            size_t start = in.upTo(static_cast<uint32_t>(length + 3));
            size_t found = c == '\0' || start >= length ? std::string::npos : m.find(c, start);
            check(s.Find(c, static_cast<int>(start)) ==
                      (found == std::string::npos ? -1 : static_cast<int>(found)),
                  "Find");
            size_t last = c == '\0' ? std::string::npos : m.rfind(c);
            check(s.ReverseFind(c) == (last == std::string::npos ? -1 : static_cast<int>(last)),
                  "ReverseFind");
            break;
        }
        case 16: {
            std::string text = in.text(64);
            check(sign(s.compare(text.c_str())) == sign(m.compare(text)), "compare");
            check((s == other) == (m == otherModel ? 1 : 0), "operator==");
            check((s < other) == (m < otherModel ? 1 : 0), "operator<");
            break;
        }
        case 17: {
            size_t first = in.upTo(static_cast<uint32_t>(length + 2));
            size_t count = in.upTo(static_cast<uint32_t>(length + 2));
            std::string source = m;
            expectText(s.Left(static_cast<int>(first)), modelLeft(m, first), "Left");
            expectText(s.Right(static_cast<int>(first)), modelRight(m, first), "Right");
            CZolString middle = s.Mid(static_cast<int>(first), static_cast<int>(count));
            expectText(middle, modelMid(m, first, count), "Mid");
            if (first <= length) {
                expectText(s.Left(static_cast<int>(first)) + s.Right(static_cast<int>(first)), m,
                           "Left(n) + Right(n) is the whole text");
            }
            // The cuts leave the source alone; keep one of them.
            expectText(s, source, "cuts leave the source unchanged");
            s = middle;
            m = modelMid(source, first, count);
            break;
        }
        case 18: {
            std::string text = in.text(64);
            const char* add = (in.byte() & 1) != 0 ? text.c_str() : nullptr;
            expectText(s + add, m + (add != nullptr ? text : ""), "string + text");
            CZolString joined = s + other;
            expectText(joined, m + otherModel, "string + string");
            s = joined;
            m += otherModel;
            break;
        }
        default:
            s = CZolString(m.c_str());
            break;
    }
    if (m.size() > kLongest) {
        s.Empty();
        m.clear();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    CZolString strings[2];
    std::string models[2];
    for (int operations = 0; operations < 64 && !in.empty(); ++operations) {
        runOperation(in, strings, models);
        expectText(strings[0], models[0], "first string");
        expectText(strings[1], models[1], "second string");
    }
    return 0;
}
