// Drives two CZolStrings with operations decoded from the input, mirrored on std::string
// models within the bounds the class states (the formats and case conversion are checked by
// string_test). After every operation each string must hold exactly its model's bytes and NUL
// (the buffer is read to its end, so ASan sees one that is too short); searches, comparisons
// and cuts must give the model's answers. The cuts follow the library's meaning: Right(n) drops
// n bytes, a count past the end gives "". A not found position is -1, as npos cast to int.
// The operators that only forward to += (<< of text and chars, + of two strings) are left out.
#include <string.h>

#include <string>

#include "CZolString.h"
#include "FuzzInput.h"

using namespace zolfuzz;  // check, Input

namespace {

void expect(const CZolString& s, const std::string& m, const char* what) {
    check(s.GetLength() == int(m.size()) && memcmp(s.c_str(), m.c_str(), m.size() + 1) == 0, what);
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
};

// Each changing operation with its effect on the model.
void (*const kChanges[])(Step&) = {
    [](Step& s) {
        s.a = CZolString(reinterpret_cast<unsigned char*>(&s.bytes[0]), int(s.bytes.size()));
        s.m = s.text;
    },
    [](Step& s) { s.a = static_cast<const char*>(nullptr), s.m.clear(); },
    [](Step& s) { s.a = s.b, s.m = s.mb; },
    [](Step& s) { s.a = s.a.c_str() + s.at, s.m = s.m.substr(s.at); },
    [](Step& s) { s.a += s.b, s.a += static_cast<const char*>(nullptr), s.m += s.mb; },
    [](Step& s) { s.a += s.a.c_str() + s.at, s.m += s.m.substr(s.at); },
    [](Step& s) { s.a += s.c, s.m += s.cc; },
    [](Step& s) {  // InsertAt, or SetAt within the text
        const bool set = (s.number & 1) != 0 && s.at < static_cast<int>(s.m.size());
        set ? s.a.SetAt(s.at, s.c) : s.a.InsertAt(s.at, s.c);
        s.m = s.m.substr(0, s.at) + s.cc + (s.c == '\0' ? "" : s.m.substr(s.at + set));
    },
    [](Step& s) {
        s.a << static_cast<int>(s.number) << s.number;
        s.m += std::to_string(int(s.number)) + std::to_string(s.number);
    },
};

// The operations that change nothing, against the model's answers.
void query(Step& s) {
    const int length = static_cast<int>(s.m.size());
    check(s.a.Find(s.c, s.n) == (s.c == '\0' ? -1 : int(s.m.find(s.c, s.n))), "Find");
    check(s.a.ReverseFind(s.c) == (s.c == '\0' ? -1 : int(s.m.rfind(s.c))), "ReverseFind");
    const int order = s.a.compare(s.text.c_str());
    check((order < 0) == (s.m < s.text) && (order == 0) == (s.m == s.text), "compare");
    check((s.a == s.b) == (s.m == s.mb) && (s.a < s.b) == (s.m < s.mb), "== and <");
    expect(s.a + (s.c == '\0' ? nullptr : s.text.c_str()), s.m + (s.c ? s.text : ""), "a + text");
    expect(s.a.Left(s.n), s.n > length ? "" : s.m.substr(0, s.n), "Left");
    expect(s.a.Right(s.n), s.n > length ? "" : s.m.substr(s.n), "Right");
    expect(s.a.Mid(s.at, s.n), s.m.substr(s.at, s.n), "Mid");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    CZolString strings[2];
    std::string models[2];
    for (int operations = 0; operations < 64 && !in.empty(); ++operations) {
        Step s{in, strings, models, in.byte()};
        const size_t kind = (s.op >> 2) % (std::size(kChanges) + 1);
        kind < std::size(kChanges) ? kChanges[kind](s) : query(s);
        expect(s.a, s.m, "after each operation");  // the only string that may change
        if (s.m.size() > 4096) {                   // self-appends double: stay fast
            s.a.Empty();
            s.m.clear();
        }
    }
    return 0;
}
