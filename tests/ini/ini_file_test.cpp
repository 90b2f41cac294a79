// The INI reader end to end: the reading context through a script of operations, numbers
// in every locale, the conversions that copy text, and lookups that see the file change.
// How values split into parts (FindItem's cut, GetValue, where ScanItem stops) is checked
// against a model by fuzz/ini_fuzz.cpp, whose seeds the suite replays: hostile line
// endings, NUL bytes and the 599-character pieces of long lines among them.
#include <fcntl.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include "CZolIniFile.h"
#include "ZolTestSupport.h"

namespace {

const std::string kFile =
    "top = 7\n"
    "[Net]\n"
    "Port = 80\n"
    "port=81\n"
    "; [Disk]\n"
    "link = [disk] ; note\n"
    "[Disk] ; real\n"
    "Size=5\n"
    "[ a b ]\n"
    "[NoClose";

// One operation and the reading context it leaves. Offsets are named by the text that
// starts there: "" is 0, "$" the end of the file, "-" no stream at all.
struct Step {
    char op;  // S GetSection, N GetNextSection, F FindItem, B SetBookMark, G GoBookMark,
              // W Write, L _GetLine, O/o ReOpen(arg, eReadWrite/eRead)
              // in the test's directory, R ReOpen(), M the stream's access mode
    const char *arg, *result, *sectionPos, *section, *item, *stream;
};

TEST(IniFile, ReadingContextFollowsEachOperation) {
    zoltest::TempDir dir;
    std::string path = dir.writeFile("t.ini", kFile);
    CZolIniFile ini;
    const char *net = "Port = 80", *disk = "[Disk] ; real", *none = "-";
    const Step steps[] = {
        {'O', "t.ini", "0", "", "", "", ""},
        {'M', nullptr, "2", "", "", "", ""},
        {'F', "top", "7", "", "", "TOP", "[Net]"},  // the leading part, before any section
        {'F', "port", "-1", "", "", "", net},       // which ends at the first header
        {'S', "net", "0", net, "[NET]", "", net},
        {'F', "PORT", "80", net, "[NET]", "PORT", "port=81"},
        {'B', nullptr, "0", net, "[NET]", "PORT", "port=81"},
        {'F', "port", "81", net, "[NET]", "PORT", "; [Disk]"},  // the next occurrence
        {'F', "port", "-1", net, "[NET]", "", "Size=5"},        // the header ends the section
        {'F', "Port", "80", net, "[NET]", "PORT", "port=81"},   // and it starts over
        {'F', " Port", "-1", net, "[NET]", "", "Size=5"},       // names are not trimmed
        {'G', "0", "0", net, "[NET]", "PORT", "port=81"},
        {'F', "port", "81", net, "[NET]", "PORT", "; [Disk]"},
        {'G', "1", "-1", net, "[NET]", "PORT", "; [Disk]"},
        {'S', "[net]", "0", net, "[NET]", "PORT", net},  // the same section: only a seek
        {'F', "link", "[disk] ", net, "[NET]", "LINK", disk},
        // The key is searched anywhere in non-comment lines: the link line selects.
        {'S', "disk", "0", disk, "[DISK]", "", disk},
        {'F', "size", "-1", disk, "[DISK]", "", "Size=5"},
        {'W', "nowhere", "-1", "", "", "", "$"},
        {'F', "top", "7", "", "", "TOP", "[Net]"},
        {'N', nullptr, "NET", net, "NET", "", net},
        {'N', nullptr, "DISK", "Size=5", "DISK", "", "Size=5"},
        {'N', nullptr, " A B ", "[NoClose", " A B ", "", "[NoClose"},
        {'L', "20", "[NoClos\n", "[NoClose", " A B ", "", "$"},  // the end: the last byte replaced
        {'N', nullptr, "NOCLOSE", "$", "NOCLOSE", "", "$"},
        {'N', nullptr, "-1", "$", "NOCLOSE", "", "$"},
        {'L', "9", "", "$", "NOCLOSE", "", "$"},
        {'W', "disk", "0", disk, "[DISK]", "", disk},
        {'L', "20", "[Disk] ; real\n", disk, "[DISK]", "", "Size=5"},  // to the delimiter
        {'R', nullptr, "0", "", "", "", ""},
        {'M', nullptr, "0", "", "", "", ""},     // ReOpen() reads only
        {'G', "0", "-1", "", "", "", ""},        // bookmarks go with the file
        {'L', "1", "\n", "", "", "", "op = 7"},  // max reached: the same
        {'L', "3", "op\n", "", "", "", "= 7"},
        {'o', ".", "-1", "", "", "", none},  // a directory, which "r" would open
        {'F', "top", "-1", "", "", "", none},
        {'S', "net", "-1", "", "", "", none},
        {'N', nullptr, "-1", "", "", "", none},
        {'B', nullptr, "-1", "", "", "", none},
        {'L', "9", "", "", "", "", none},
        {'O', "missing", "-1", "", "", "", none},
        {'O', nullptr, "-1", "", "", "", none},
        {'O', "/proc/sys/kernel/osrelease", "-1", "", "", "", none},  // stat passes, fopen not
        {'O', "t.ini", "0", "", "", "", ""},
    };
    auto at = [](const char* mark) {
        return static_cast<long>(*mark == '$' ? kFile.size() : kFile.find(mark));
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(std::string(1, s.op) + " " + (s.arg != nullptr ? s.arg : "-"));
        std::string prefix = s.arg == nullptr || *s.arg == '/' ? "" : dir.path() + "/";
        char text[514];
        int result = s.op == 'S'   ? ini.GetSection(s.arg)
                     : s.op == 'N' ? ini.GetNextSection(text)
                     : s.op == 'F' ? ini.FindItem(s.arg, text)
                     : s.op == 'B' ? ini.SetBookMark()
                     : s.op == 'G' ? ini.GoBookMark(atoi(s.arg))
                     : s.op == 'W' ? ini.Write(s.arg, "x", 1)
                     : s.op == 'L' ? ini._GetLine(text, atoi(s.arg), '\n')
                     : s.op == 'O' || s.op == 'o'
                         ? ini.ReOpen(s.arg ? (prefix + s.arg).c_str() : nullptr,
                                      s.op == 'O' ? CZolIniFile::eReadWrite : CZolIniFile::eRead)
                     : s.op == 'R' ? ini.ReOpen()
                                   : fcntl(fileno(ini.m_pFile), F_GETFL) & O_ACCMODE;
        bool isText = (s.op == 'N' || s.op == 'F') && result == 0;
        EXPECT_EQ(s.op == 'L' ? std::string(text, result)
                  : isText    ? std::string(text)
                              : std::to_string(result),
                  s.result);
        EXPECT_EQ(ini.m_nSectionPos, at(s.sectionPos));
        EXPECT_STREQ(ini.m_szSection, s.section);
        EXPECT_STREQ(ini.m_szItem, s.item);
        EXPECT_EQ(ini.m_bOpen, s.stream != none);
        if (s.stream != none) {
            EXPECT_EQ(ftell(ini.m_pFile), at(s.stream));
        }
    }
    EXPECT_EQ(zoltest::readFile(path), kFile) << "Write writes nothing";
}

// A getter (kScan 0) or a one-conversion ScanItem, as a double; -999 when not found.
template <typename T, char kScan = 0>
double number(CZolIniFile& ini, const char* item) {
    T value{};
    char format[] = {kScan, '\0'};
    int found = ini.GetSection("N") != 0 ? -1
                : kScan != 0             ? ini.ScanItem(item, format, &value, nullptr)
                                         : ini.GetItem(item, value);
    return found == 0 ? static_cast<double>(value) : -999;
}

// A file must give the same numbers whatever locale the program selected ("c" shows that a
// comma separates parts). The comma-decimal locale is generated for the test, as few
// systems have one installed; without localedef and its sources the test fails.
TEST(IniNumbers, ConvertTheSameInEveryLocale) {
    zoltest::TempDir dir;
    std::string path = dir.writeFile("n.ini",
                                     "[N]\nd = 1.5\nc = 1,5\nf = -2.5e1x\nbig = 4294967297\n"
                                     "h = -70000\nneg = -1\nws = \t 12\nyes = Yes\n");
    CZolIniFile ini(path.c_str(), CZolIniFile::eRead);
    const struct {
        const char* item;
        double (*read)(CZolIniFile&, const char*);
        double expected;
    } rows[] = {
        {"d", number<double>, 1.5},      {"d", number<float>, 1.5},
        {"d", number<double, 'F'>, 1.5}, {"d", number<float, 'f'>, 1.5},
        {"c", number<double>, 1},        {"f", number<float>, -25},
        {"big", number<int>, 1},         {"big", number<long>, 4294967297.0},
        {"big", number<long, 'l'>, 1},   {"big", number<int, 'n'>, 1},
        {"h", number<short>, -4464},     {"neg", number<unsigned int>, 4294967295.0},
        {"ws", number<int, 'd'>, 12},    {"yes", number<char>, 'Y'},
        {"yes", number<char, 'c'>, 'Y'}, {"none", number<int>, -999},
    };
    std::string make = "localedef -i de_DE -f ISO-8859-1 " + dir.path() + "/de >/dev/null 2>&1";
    int status = system(make.c_str());  // 1: made, with warnings
    setenv("LOCPATH", dir.path().c_str(), 1);
    for (const char* locale : {"C", "de"}) {
        ASSERT_NE(setlocale(LC_ALL, locale), nullptr) << "localedef status " << status;
        for (const auto& row : rows) {
            EXPECT_EQ(row.read(ini, row.item), row.expected) << locale << " " << row.item;
        }
    }
    EXPECT_STREQ(localeconv()->decimal_point, ",") << "the test ran under a comma-decimal locale";
    setlocale(LC_ALL, "C");
}

// The conversions that copy the text of a part: P into strings that follow their pointers
// in one block, each with the part's length as room (a part ending in backslash-n leaves
// its last string as that many spaces); p and the char** getter (null for an empty part);
// the part whole, or strncpy'd into n bytes.
TEST(IniItems, CopyingConversions) {
    zoltest::TempDir dir;
    std::string path = dir.writeFile("p.ini", "[T]\nv = a\\nb, a\\n, x\\\\ny\\\\\"z, , q\ne =\n");
    CZolIniFile ini(path.c_str(), CZolIniFile::eRead);
    char format[] = "PPPpp", **ab, **a, **xyz, *empty = format, *q = nullptr;
    ASSERT_TRUE(ini.GetSection("T") == 0 &&
                ini.ScanItem("v", format, &ab, &a, &xyz, &empty, &q) == 0);
    EXPECT_EQ(ab[0], reinterpret_cast<char*>(ab + 2));
    EXPECT_EQ(ab[1], ab[0] + 5);
    std::vector<std::string> got = {ab[0], ab[1], a[0], a[1], xyz[0], xyz[1], q};
    EXPECT_EQ(got, (std::vector<std::string>{"a", "b", "a", "   ", "x\\", "y\"z", "q"}));
    EXPECT_EQ(empty, nullptr);
    char text[512], field[8] = "XXXXXXX", *copy = text, *none = text;
    ASSERT_TRUE(ini.GetSection("T") == 0 && ini.GetItem("v", text) == 0 &&
                ini.GetSection("T") == 0 && ini.GetItem("v", field, 6) == 0 &&
                ini.GetSection("T") == 0 && ini.GetItem("v", &copy) == 0 &&
                ini.GetItem("e", &none) == 0);
    EXPECT_STREQ(text, "a\\nb");
    EXPECT_EQ(std::string(field, 8), std::string("a\\nb\0\0X", 8));
    EXPECT_STREQ(copy, "a\\nb");
    EXPECT_EQ(none, nullptr);
    for (void* block : std::initializer_list<void*>{ab, a, xyz, q, copy}) {
        free(block);
    }
}

// The file is rewritten in place ("r+"), cut ("w") and appended to ("a") while it is open;
// each row then looks x up, in section A selected afresh or (select false) going on from
// the last lookup, which must read on in the new text.
TEST(IniFile, LookupsSeeTheFileAsItIsNow) {
    zoltest::TempDir dir;
    std::string path = dir.writeFile("f.ini", "[A]\nx=1\nx=2\n");
    CZolIniFile ini(path.c_str(), CZolIniFile::eRead);
    const struct {
        const char *text, *mode;
        bool select;
        int x;
    } rows[] = {
        {"", "r", true, 1},
        {"[A]\nx=1\nx=7\n", "r+", false, 7},
        {"[A]\nx=5\n[B]\n", "r+", true, 5},
        {"[A]\n", "w", true, -1},
        {"x=9\n", "a", false, 9},
    };
    for (const auto& row : rows) {
        FILE* file = fopen(path.c_str(), row.mode);
        fputs(row.text, file);
        fclose(file);
        int x = -1;
        EXPECT_TRUE(!row.select || ini.GetSection("a") == 0);
        ini.GetItem("x", x);
        EXPECT_EQ(x, row.x) << row.text;
    }
}

}  // namespace
