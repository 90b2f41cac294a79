// Value parts, typed getters with their conversions and cuts, ScanItem and Write.
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>

#include "CZolIniFile.h"
#include "ZolTestSupport.h"

namespace {

const char kItems[] =
    "[T]\n"
    "list = 10, 20, 30\n"
    "big = 4294967297\n"
    "s70k = 70000\n"
    "neg = -1\n"
    "real = 2.5e1x\n"
    "yes = Yes\n"
    "quoted = \"a, b \" , z\n"
    "gaps = a,,  ,b\n"
    "tab = 1,\t2\n"
    "empty =\n"
    "text = hello world\n"
    "semi = \"a;b\"\n"
    "lines = a\\nb, a\\n, x\\\\ny\\\\\"z, ,\n";

class IniItems : public ::testing::Test {
protected:
    zoltest::TempDir dir;
    std::string path = dir.writeFile("items.ini", kItems);
    CZolIniFile ini{path.c_str(), CZolIniFile::eRead};
    void SetUp() override { rewind(); }
    // Reselecting the section seeks to its start, so the next lookup of the item just
    // read finds its first occurrence again instead of the next one.
    void rewind() { ASSERT_EQ(ini.GetSection("t"), 0); }
};

std::vector<std::string> split(const char* value) {
    char buffer[514] = {};
    strcpy(buffer, value);
    CZolIniFile ini;
    std::vector<std::string> parts;
    char* cursor = buffer;
    for (int i = 0; i < 10; ++i) {
        char* part = ini.GetValue(cursor);
        if (part == nullptr) {
            break;
        }
        parts.push_back(part);
    }
    return parts;
}

TEST(IniValue, SplitsIntoParts) {
    using V = std::vector<std::string>;
    struct {
        const char* value;
        V parts;
    } cases[] = {
        {"", V{}},
        {"10, 20, 30", V{"10", "20", "30"}},
        {"  \"a, b \" , c", V{"a, b ", "c"}},
        {"a,,  ,b", V{"a", "", "", "b"}},
        {"x\\\"y", V{"x\"y"}},
        {"\"a\\\"\",b", V{"a\"", "b"}},
        {"1,\t2", V{"1", "\t2"}},
        {"ab\"c,d\"", V{"ab\"c", "d\""}},  // a quote after the start is ordinary
        {"x,", V{"x"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(split(c.value), c.parts) << c.value;
    }
}

TEST(IniValue, UnendedPartIsReturnedAgainWithoutMovingTheCursor) {
    char open[514] = "\"a";
    char* cursor = open;
    CZolIniFile ini;
    EXPECT_STREQ(ini.GetValue(cursor), "a,");
    EXPECT_EQ(cursor, open);
    char longText[600];
    memset(longText, 'q', 530);
    longText[530] = '\0';
    cursor = longText;
    EXPECT_EQ(strlen(ini.GetValue(cursor)), 530u) << "over 511 characters: no comma appended";
    EXPECT_EQ(cursor, longText);
}

// Each getter as text: "-1" when the lookup failed.
template <typename T>
std::string get(CZolIniFile& ini, const char* item) {
    T value{};
    if (ini.GetItem(item, value) != 0) {
        return "-1";
    }
    if constexpr (std::is_same_v<T, char>) {
        return std::string(value == '\0' ? "\\0" : std::string(1, value));
    } else {
        return std::to_string(value);
    }
}
std::string getText(CZolIniFile& ini, const char* item) {
    char text[512];
    return ini.GetItem(item, text) == 0 ? text : "-1";
}
std::string getBounded(CZolIniFile& ini, const char* item) {
    char text[8];
    memset(text, 'X', sizeof text);
    return ini.GetItem(item, text, 6) == 0 ? std::string(text, 8) : "-1";
}
std::string getCopy(CZolIniFile& ini, const char* item) {
    char* copy = reinterpret_cast<char*>(1);
    if (ini.GetItem(item, &copy) != 0) {
        return "-1";
    }
    std::string result = copy != nullptr ? copy : "null";
    free(copy);
    return result;
}

TEST_F(IniItems, GettersConvertTheFirstPartAndCut) {
    struct {
        const char* item;
        std::string (*getter)(CZolIniFile&, const char*);
        std::string expected;
    } cases[] = {
        {"list", get<int>, "10"},
        {"big", get<int>, "1"},
        {"big", get<long>, "4294967297"},
        {"s70k", get<short>, "4464"},
        {"neg", get<unsigned int>, "4294967295"},
        {"real", get<double>, "25.000000"},
        {"real", get<float>, "25.000000"},
        {"yes", get<char>, "Y"},
        {"empty", get<char>, "\\0"},
        {"empty", get<int>, "0"},
        {"missing", get<int>, "-1"},
        {"quoted", getText, "a, b "},
        {"semi", getText, "a,"},  // cut at ';' inside the quotes, which stay open
        {"text", getBounded, "hello XX"},
        {"yes", getBounded, std::string("Yes\0\0\0XX", 8)},
        {"missing", getBounded, "-1"},
        {"text", getCopy, "hello world"},
        {"empty", getCopy, "null"},
    };
    for (const auto& c : cases) {
        rewind();
        EXPECT_EQ(c.getter(ini, c.item), c.expected) << c.item;
    }
}

TEST_F(IniItems, ScanItemStopsAtFormatEndNullPointerOrValueEnd) {
    using V = std::vector<int>;
    int v[4];
    // Scans "list" (10, 20, 30) from its first occurrence into fresh -1 values.
    auto scan = [&](std::string format, auto... targets) {
        std::fill(v, v + 4, -1);
        rewind();
        EXPECT_EQ(ini.ScanItem("list", format.data(), targets...), 0) << format;
        return V(v, v + 4);
    };
    EXPECT_EQ(scan("dddd", &v[0], &v[1], &v[2], &v[3], nullptr), V({10, 20, 30, -1}));
    EXPECT_EQ(scan("dd", &v[0], &v[1], &v[2]), V({10, 20, -1, -1}));
    EXPECT_EQ(scan("dddd", &v[0], nullptr, &v[1]), V({10, -1, -1, -1}));
    EXPECT_EQ(scan("dddd", nullptr, &v[0]), V({-1, -1, -1, -1}));
    EXPECT_EQ(scan("", &v[0]), V({-1, -1, -1, -1}));
    EXPECT_EQ(scan("?d", &v[1], &v[0]), V({20, -1, -1, -1}))
        << "an unknown character uses up its part and pointer";
    char format[] = "d";
    EXPECT_EQ(ini.ScanItem("missing", format, &v[0], nullptr), -1);
}

TEST_F(IniItems, ScanItemConversions) {
    long wrapped = 0;
    char l[] = "l";
    EXPECT_EQ(ini.ScanItem("big", l, &wrapped), 0);
    EXPECT_EQ(wrapped, 1);
    char s[512], ch = 0, *p = reinterpret_cast<char*>(1), *p2 = nullptr;
    int n = -1;
    char gaps[] = "sdpp";
    EXPECT_EQ(ini.ScanItem("gaps", gaps, s, &n, &p, &p2), 0);
    EXPECT_STREQ(s, "a");
    EXPECT_EQ(n, 0);
    EXPECT_EQ(p, nullptr);
    EXPECT_STREQ(p2, "b");
    free(p2);
    char tab[] = "cs";
    EXPECT_EQ(ini.ScanItem("tab", tab, &ch, s), 0);
    EXPECT_EQ(ch, '1');
    EXPECT_STREQ(s, "\t2");
    char ds[] = "nd";
    rewind();
    EXPECT_EQ(ini.ScanItem("tab", ds, &n, &n), 0);
    EXPECT_EQ(n, 2);
    float f = 0;
    double d = 0;
    char real[] = "fF";
    EXPECT_EQ(ini.ScanItem("real", real, &f, &d), 0);
    EXPECT_EQ(f, 25.0f);
}

TEST_F(IniItems, PSplitsLinesIntoOneFreeableBlock) {
    char** lines[4] = {};
    char format[] = "PPPP";
    ASSERT_EQ(ini.ScanItem("lines", format, &lines[0], &lines[1], &lines[2], &lines[3]), 0);
    // a\nb: two strings of capacity 4 laid out after the two pointers.
    EXPECT_STREQ(lines[0][0], "a");
    EXPECT_STREQ(lines[0][1], "b");
    EXPECT_EQ(lines[0][0], reinterpret_cast<char*>(lines[0] + 2));
    EXPECT_EQ(lines[0][1], lines[0][0] + 5);
    // a\n: the last string keeps its three spaces.
    EXPECT_STREQ(lines[1][0], "a");
    EXPECT_STREQ(lines[1][1], "   ");
    // x\\ny\\"z arrives as x\\ny\"z: a lone backslash is kept, backslash-quote is a quote.
    EXPECT_STREQ(lines[2][0], "x\\");
    EXPECT_STREQ(lines[2][1], "y\"z");
    EXPECT_STREQ(lines[3][0], "");
    for (char** block : lines) {
        free(block);
    }
}

TEST_F(IniItems, WriteNeverChangesTheFile) {
    char value[] = "v";
    EXPECT_EQ(ini.Write("T", "list", 5), 0);
    EXPECT_STREQ(ini.m_szSection, "[T]");
    EXPECT_EQ(ini.Write("nowhere", "x", 5), -1);
    EXPECT_EQ(ini.m_nSectionPos, 0);
    EXPECT_EQ(ini.Write("T", "x", 5L), -1);
    EXPECT_EQ(ini.Write("T", "x", value), -1);
    EXPECT_EQ(ini.Write("T", "x", value, 1), -1);
    std::ifstream in(path);
    std::stringstream contents;
    contents << in.rdbuf();
    EXPECT_EQ(contents.str(), kItems);
}

}  // namespace
