// Behaviour of CZolString at the edges a careless implementation gets wrong.
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "CZolString.h"

namespace {

// Reads the one private field: which of the two empty forms a string is in.
const char* bufferOf(const CZolString& s) {
    return *reinterpret_cast<char* const*>(reinterpret_cast<const char*>(&s) + sizeof(void*));
}

std::string formatV(CZolString& target, const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    target.formatV(fmt, args);
    va_end(args);
    return target.c_str();
}

TEST(String, EmptyFormsBehaveAlike) {
    CZolString none;
    CZolString fromNull(static_cast<const char*>(nullptr));
    CZolString fromEmptyText("");
    EXPECT_EQ(bufferOf(none), nullptr);
    EXPECT_EQ(bufferOf(fromNull), nullptr);
    EXPECT_NE(bufferOf(fromEmptyText), nullptr) << "an empty text keeps a terminator-only buffer";
    for (const CZolString* s : {&none, &fromNull, &fromEmptyText}) {
        EXPECT_EQ(s->GetLength(), 0);
        EXPECT_EQ(s->IsEmpty(), 1);
        ASSERT_NE(s->c_str(), nullptr);
        EXPECT_STREQ(s->c_str(), "");
    }
    EXPECT_EQ(none == fromEmptyText, 1);
    EXPECT_EQ(CZolString(fromEmptyText).c_str(), CZolString().c_str())
        << "copying an empty string gives the null-buffer form";
    none.MakeUpper();
    EXPECT_EQ(bufferOf(none), nullptr);

    CZolString text("abc");
    text = static_cast<const char*>(nullptr);
    EXPECT_EQ(bufferOf(text), nullptr);
    text = "x";
    text += static_cast<const char*>(nullptr);
    EXPECT_STREQ(text.c_str(), "x");
    text = CZolString();
    EXPECT_EQ(bufferOf(text), nullptr);
}

TEST(String, SelfAppendAndSelfAssignment) {
    CZolString s("ab");
    s += s;
    EXPECT_STREQ(s.c_str(), "abab");
    s = s;
    EXPECT_STREQ(s.c_str(), "abab");
    s = s.c_str() + 2;  // a pointer into its own text
    EXPECT_STREQ(s.c_str(), "ab");
    s += s.c_str() + 1;
    EXPECT_STREQ(s.c_str(), "abb");
}

TEST(String, EveryChangeReallocatesExactly) {
    CZolString s("abc");
    const char* before = bufferOf(s);
    s += "";
    EXPECT_NE(bufferOf(s), before) << "an empty append still builds a new buffer";
    EXPECT_STREQ(s.c_str(), "abc");
    before = bufferOf(s);
    s += CZolString();
    EXPECT_EQ(bufferOf(s), before) << "appending an empty CZolString changes nothing";
}

TEST(String, AppendAndInsert) {
    CZolString s;
    s += 'x';
    EXPECT_STREQ(s.c_str(), "x");
    CZolString t;
    t.InsertAt(0, 'x');
    EXPECT_STREQ(t.c_str(), "x");

    struct Case {
        int index;
        const char* expected;
    } cases[] = {{0, "Xabc"}, {1, "aXbc"}, {3, "abcX"}};
    for (const Case& c : cases) {
        CZolString u("abc");
        u.InsertAt(c.index, 'X');
        EXPECT_STREQ(u.c_str(), c.expected) << c.index;
    }

    CZolString n;
    n << -7 << ' ' << 5000000000L << "|" << 'z';
    EXPECT_STREQ(n.c_str(), "-7 5000000000|z");
    CZolString limits;
    limits << static_cast<long>(-9223372036854775807L - 1);
    EXPECT_STREQ(limits.c_str(), "-9223372036854775808");

    EXPECT_STREQ((CZolString("a") + "b").c_str(), "ab");
    EXPECT_STREQ((CZolString("a") + static_cast<const char*>(nullptr)).c_str(), "a");
    EXPECT_STREQ((CZolString("a") + CZolString("bc")).c_str(), "abc");
}

TEST(String, CuttingUsesTheLibrarysOwnMeaning) {
    CZolString hello("hello");
    struct Case {
        const char* what;
        CZolString result;
        const char* expected;
    } cases[] = {
        {"Left(0)", hello.Left(0), ""},        {"Left(2)", hello.Left(2), "he"},
        {"Left(5)", hello.Left(5), "hello"},   {"Left(6)", hello.Left(6), ""},
        {"Right(0)", hello.Right(0), "hello"}, {"Right(2)", hello.Right(2), "llo"},
        {"Right(5)", hello.Right(5), ""},      {"Right(6)", hello.Right(6), ""},
        {"Mid(1,3)", hello.Mid(1, 3), "ell"},  {"Mid(3,10)", hello.Mid(3, 10), "lo"},
        {"Mid(5,1)", hello.Mid(5, 1), ""},     {"Mid(0,0)", hello.Mid(0, 0), ""},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(c.result.c_str(), c.expected) << c.what;
    }
    for (int n = 0; n <= hello.GetLength(); ++n) {
        EXPECT_STREQ((hello.Left(n) + hello.Right(n)).c_str(), "hello") << n;
    }
    EXPECT_STREQ(hello.c_str(), "hello") << "cutting leaves the source unchanged";
}

TEST(String, SearchingAndComparing) {
    CZolString path("a/b/c");
    EXPECT_EQ(path.Find('/', 0), 1);
    EXPECT_EQ(path.Find('/', 2), 3);
    EXPECT_EQ(path.Find('/', 4), -1);
    EXPECT_EQ(path.Find('/', 99), -1);
    EXPECT_EQ(path.Find('\0', 0), -1);
    EXPECT_EQ(path.ReverseFind('/'), 3);
    EXPECT_EQ(CZolString().ReverseFind('/'), -1);

    EXPECT_EQ(CZolString("B") < CZolString("a"), 1);
    EXPECT_EQ(CZolString("a") < CZolString("ab"), 1);
    EXPECT_EQ(CZolString("ab") < CZolString("a"), 0);
    EXPECT_EQ(CZolString("\x7f") < CZolString("\x80"), 1) << "bytes compare as unsigned";
    EXPECT_EQ(CZolString().compare(""), 0);
    EXPECT_LT(CZolString().compare("a"), 0);
    EXPECT_EQ(CZolString("x") == CZolString("y"), 0);
}

TEST(String, EmbeddedNulEndsTheText) {
    CZolString s("abc");
    s.SetAt(1, '\0');
    EXPECT_EQ(s.GetLength(), 1);
    EXPECT_STREQ(s.c_str(), "a");
    unsigned char bytes[] = {'a', 0, 'b'};
    CZolString counted(bytes, 3);
    EXPECT_EQ(counted.GetLength(), 1);
    EXPECT_EQ(memcmp(bufferOf(counted), "a\0b\0", 4), 0) << "all counted bytes are copied";
    EXPECT_EQ(CZolString(static_cast<unsigned char*>(nullptr), 4).c_str(), CZolString().c_str());
}

TEST(String, FormatCutsSilentlyAtItsBufferSize) {
    std::string six_hundred(600, 'q');
    CZolString s;
    s.Format("%s", six_hundred.c_str());
    EXPECT_EQ(s.GetLength(), 511);
    EXPECT_EQ(formatV(s, "%s", six_hundred.c_str()).size(), 255u);
    s.Format("%s", std::string(511, 'r').c_str());
    EXPECT_EQ(s.GetLength(), 511) << "exactly 511 bytes fit";
    EXPECT_EQ(formatV(s, "%s", std::string(255, 'r').c_str()).size(), 255u);
    s.Format("%d%%", 50);
    EXPECT_STREQ(s.c_str(), "50%");
    s.Format("%s", "");
    EXPECT_NE(bufferOf(s), nullptr);
    EXPECT_EQ(s.IsEmpty(), 1);
}

TEST(String, MakeUpperWorksInPlace) {
    CZolString s("mIxed 1-z");
    const char* before = bufferOf(s);
    s.MakeUpper();
    EXPECT_STREQ(s.c_str(), "MIXED 1-Z");
    EXPECT_EQ(bufferOf(s), before);
}

}  // namespace
