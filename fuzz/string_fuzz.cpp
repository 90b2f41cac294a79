// Drives two CZolStrings with operations decoded from the input, mirrored on std::string
// models within the bounds the class states (the formats are checked by string_test). After every
// operation each string must hold exactly its model's bytes and NUL (the buffer is read to its end,
// so ASan sees one that is too short); searches, comparisons and cuts must give the model's
// answers. The cuts follow the library's meaning: Right(n) drops n bytes, a count past the end
// gives "".
#include <string.h>

#include <algorithm>
#include <string>

#include "CZolString.h"
#include "FuzzInput.h"

using namespace zolfuzz;  // check, Input

namespace {

void expect(const CZolString& s, const std::string& m, const char* what) {
    check(s.GetLength() == static_cast<int>(m.size()) && s.IsEmpty() == (m.empty() ? 1 : 0) &&
              memcmp(s.c_str(), m.c_str(), m.size() + 1) == 0 &&
              static_cast<const char*>(s) == s.c_str(),
          what);
}

int position(size_t at) {
    return at == std::string::npos ? -1 : static_cast<int>(at);
}

// One operation's operands, decoded from the input.
struct Step {
    Input& in;
    CZolString* strings;
    std::string* models;
    uint8_t op;
    CZolString& a = strings[op & 1];                       // the string operated on
    std::string& m = models[op & 1];                       // its model
    CZolString& b = strings[op >> 1 & 1];                  // the other string, or a itself
    std::string mb = models[op >> 1 & 1];                  // b's model
    int at = int(in.byte() % (m.size() + 1));              // a position in the text or at its end
    int n = int(in.byte() % (m.size() + 3));               // a count, up to 2 past the end
    char c = char(in.byte());                              // any byte, NUL included
    std::string bytes = in.bytes(255);                     // raw bytes, NULs included
    std::string text = bytes.substr(0, bytes.find('\0'));  // the C text they start with
    std::string cc = c == '\0' ? "" : std::string(1, c);   // a NUL adds nothing: it ends a text
    long number = long(in.u64());
    std::string rest() const { return c == '\0' ? "" : m.substr(at); }
};

// Each changing operation with its effect on the model.
void (*const kChanges[])(Step&) = {
    [](Step& s) {
        s.a = CZolString(reinterpret_cast<unsigned char*>(&s.bytes[0]), int(s.bytes.size()));
        s.m = s.text;
    },
    [](Step& s) { s.a = static_cast<const char*>(nullptr), s.m.clear(); },
    [](Step& s) { s.a.Empty(), s.m.clear(); },
    [](Step& s) { s.a = s.b, s.m = s.mb; },
    [](Step& s) { s.a = s.a.c_str() + s.at, s.m = s.m.substr(s.at); },
    [](Step& s) { s.a += s.b, s.m += s.mb; },
    [](Step& s) { s.a += static_cast<const char*>(nullptr); },
    [](Step& s) { s.a += s.a.c_str() + s.at, s.m += s.m.substr(s.at); },
    [](Step& s) { s.a << s.text.c_str(), s.m += s.text; },
    [](Step& s) { s.a = s.a + s.b, s.m += s.mb; },
    [](Step& s) { s.a += s.c, s.m += s.cc; },
    [](Step& s) { s.a << s.c, s.m += s.cc; },
    [](Step& s) { s.a.InsertAt(s.at, s.c), s.m = s.m.substr(0, s.at) + s.cc + s.rest(); },
    [](Step& s) {
        if (s.at < static_cast<int>(s.m.size())) {
            check(s.a.GetAt(s.at) == s.m[s.at] && s.a[s.at] == s.m[s.at], "GetAt");
            s.a.SetAt(s.at, s.c);
            s.m = s.m.substr(0, s.at) + s.cc + (s.c == '\0' ? "" : s.m.substr(s.at + 1));
        }
    },
    [](Step& s) { s.a << static_cast<int>(s.number), s.m += std::to_string(int(s.number)); },
    [](Step& s) { s.a << s.number, s.m += std::to_string(s.number); },
    [](Step& s) {
        s.a.MakeUpper();
        std::transform(s.m.begin(), s.m.end(), s.m.begin(), [](char ch) {
            return ch >= 'a' && ch <= 'z' ? static_cast<char>(ch - 'a' + 'A') : ch;
        });
    },
    [](Step& s) { s.a = s.a.Mid(s.at, s.n), s.m = s.m.substr(s.at, s.n); },
};

// The operations that change nothing, against the model's answers.
void query(Step& s) {
    const int length = static_cast<int>(s.m.size());
    const bool none = s.c == '\0' || s.n >= length;
    check(s.a.Find(s.c, s.n) == (none ? -1 : position(s.m.find(s.c, s.n))), "Find");
    check(s.a.ReverseFind(s.c) == (s.c == '\0' ? -1 : position(s.m.rfind(s.c))), "ReverseFind");
    const int order = s.a.compare(s.text.c_str());
    check((order < 0) == (s.m < s.text) && (order == 0) == (s.m == s.text), "compare");
    check((s.a == s.b) == (s.m == s.mb) && (s.a < s.b) == (s.m < s.mb), "== and <");
    expect(s.a + (s.c == '\0' ? nullptr : s.text.c_str()), s.m + (s.c ? s.text : ""), "a + text");
    expect(s.a.Left(s.n), s.n > length ? "" : s.m.substr(0, s.n), "Left");
    expect(s.a.Right(s.n), s.n > length ? "" : s.m.substr(s.n), "Right");
    expect(s.a.Left(s.n) + s.a.Right(s.n), s.n <= length ? s.m : "", "Left(n) + Right(n)");
    expect(s.a.Mid(s.at, s.n), s.m.substr(s.at, s.n), "Mid");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    CZolString strings[2];
    std::string models[2];
    for (int operations = 0; operations < 64 && !in.empty(); ++operations) {
        const uint8_t op = in.byte();
        Step s{in, strings, models, op};
        const size_t kind = (op >> 2) % (std::size(kChanges) + 1);
        kind < std::size(kChanges) ? kChanges[kind](s) : query(s);
        for (int k = 0; k < 2; ++k) {
            expect(strings[k], models[k], "after each operation");
            if (models[k].size() > 4096) {  // self-appends double: stay fast
                strings[k].Empty();
                models[k].clear();
            }
        }
    }
    return 0;
}
