// The INI reader end to end: the reading context through a script of operations, numbers
// in every locale, the conversions that copy text, lookups that see the file change, and
// names at the limits of their fields.
// How values split into parts (FindItem's cut, GetValue, where ScanItem stops) is checked
// against a model by fuzz/ini_fuzz.cpp, whose seeds the suite replays: hostile line
// endings, NUL bytes and the 599-character pieces of long lines among them.
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <tuple>

#include <gtest/gtest.h>

#include "CZolIniFile.h"
#include "ZolTestSupport.h"

namespace {

const std::string kFile =
    "top = 7\n[Net]\nPort = 80\nport=81\n; [Disk]\nlink = [disk] ; note\n"
    "[Disk] ; real\nSize=5\n[ a b ]\n[NoClose";

// One operation and the reading context it leaves. Offsets are named by the text that
// starts there: "" is 0, "$" the end of the file, "-" no stream at all.
struct Step {
    char op;  // S GetSection, N GetNextSection, F FindItem, B SetBookMark, G GoBookMark,
              // W Write, L _GetLine, O/o ReOpen(arg, eReadWrite/eRead) in the test's
              // directory, R ReOpen()
    const char *arg, *result, *sectionPos, *section, *item, *stream;
};

TEST(IniFile, ReadingContextFollowsEachOperation) {
    zoltest::TempDir dir;
    std::string path = dir.writeFile("t.ini", kFile);
    CZolIniFile ini;
    const char *net = "Port = 80", *disk = "[Disk] ; real", *none = "-";
    const Step steps[] = {
        {'O', "t.ini", "0", "", "", "", ""},
        {'F', "top", "7", "", "", "TOP", "[Net]"},  // the part before any section
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
        {'O', "/proc/sys/kernel/osrelease", "-1", "", "", "", none},  // stat passes, "r+" not
        {'R', nullptr, "0", "", "", "", ""},                          // ReOpen() reads only
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
                         : ini.ReOpen();
        std::string got = s.op == 'L' ? std::string(text, result) : std::to_string(result);
        EXPECT_EQ((s.op == 'N' || s.op == 'F') && result == 0 ? text : got, s.result);
        EXPECT_EQ(ini.m_nSectionPos, at(s.sectionPos));
        EXPECT_STREQ(ini.m_szSection, s.section);
        EXPECT_STREQ(ini.m_szItem, s.item);
        EXPECT_EQ(ini.m_bOpen != 0 ? ftell(ini.m_pFile) : -9, s.stream == none ? -9 : at(s.stream));
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
// systems have one installed; without localedef and its sources that half is skipped.
// Then the conversions that copy the text of a part: P into strings that follow their
// pointers in one block, each with the part's length as room (a part ending in backslash-n
// leaves its last string as that many spaces); p and the char** getter (null for an empty
// part); the part whole, or strncpy'd into n bytes.
TEST(IniItems, ConversionsInEveryLocale) {
    zoltest::TempDir dir;
    std::string path = dir.writeFile("n.ini",
                                     "[N]\nd = 1.5\nc = 1,5\nf = -2.5e1x\nbig = 4294967297\n"
                                     "h = -70000\nneg = -1\nws = \t 12\nyes = Yes\n"
                                     "v = a\\nb, a\\n, x\\\\ny\\\\\"z, , q\ne =\n");
    CZolIniFile ini(path.c_str(), CZolIniFile::eRead);
    const std::tuple<const char*, double (*)(CZolIniFile&, const char*), double> rows[] = {
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
    bool noLocale = false;
    for (const char* locale : {"C", "de"}) {
        if (setlocale(LC_ALL, locale) == nullptr) {
            noLocale = true;  // reported at the end, once the other checks ran
            continue;
        }
        for (auto [item, read, expected] : rows) {
            EXPECT_EQ(read(ini, item), expected) << locale << " " << item;
        }
    }
    setlocale(LC_ALL, "C");

    char format[] = "PPPpp", **ab, **a, **xyz, *empty = format, *q = nullptr;
    char text[512], field[8] = "XXXXXXX", *copy = text, *none = text;
    ASSERT_TRUE(
        ini.GetSection("N") == 0 && ini.ScanItem("v", format, &ab, &a, &xyz, &empty, &q) == 0 &&
        ini.GetSection("N") == 0 && ini.GetItem("v", text) == 0 && ini.GetSection("N") == 0 &&
        ini.GetItem("v", field, 6) == 0 && ini.GetSection("N") == 0 &&
        ini.GetItem("v", &copy) == 0 && ini.GetItem("e", &none) == 0);
    EXPECT_EQ(ab[0], reinterpret_cast<char*>(ab + 2));
    EXPECT_EQ(ab[1], ab[0] + 5);
    EXPECT_TRUE(empty == nullptr && none == nullptr) << "an empty part gives null";
    std::vector<std::string> got = {
        ab[0], ab[1], a[0], a[1], xyz[0], xyz[1], q, text, std::string(field, 8), copy};
    EXPECT_EQ(got, (std::vector<std::string>{"a", "b", "a", "   ", "x\\", "y\"z", "q", "a\\nb",
                                             std::string("a\\nb\0\0X", 8), "a\\nb"}));
    for (void* block : std::initializer_list<void*>{ab, a, xyz, q, copy})
        free(block);
    if (noLocale)
        GTEST_SKIP() << "no comma-decimal locale (localedef status " << status << ")";
}

// The file is rewritten (on the same inode) while it is open; each lookup of x then reads
// the new text, in section A selected afresh or going on from the last lookup.
TEST(IniFile, LookupsSeeTheFileAsItIsNow) {
    zoltest::TempDir dir;
    std::string path = dir.writeFile("f.ini", "");
    CZolIniFile ini(path.c_str(), CZolIniFile::eRead);
    auto x = [&](const char* text, bool select) {
        dir.writeFile("f.ini", text);
        int value = -1;
        return (!select || ini.GetSection("a") == 0) && ini.GetItem("x", value) == 0 ? value : -1;
    };
    EXPECT_EQ(x("[A]\nx=1\nx=2\n", true), 1);
    EXPECT_EQ(x("[A]\nx=1\nx=7\n", false), 7) << "a repeated lookup reads on in the new text";
    EXPECT_EQ(x("[A]\n", true), -1) << "the cut item is gone";
    EXPECT_EQ(x("[A]\nx=9\n", false), 9) << "the grown file is read to its new end";
}

// Names at the exact limits of the fields and buffers that hold them. Caller buffers are
// heap blocks of exactly the documented size, so one byte too many is an AddressSanitizer
// (or memcheck) report, not silent damage. Values at their limits (597 characters in, 511
// out, into exact buffers) are seeds of fuzz/ini_fuzz.cpp.
TEST(IniBounds, NamesAtTheirFieldLimitsAreKeptWholeOrRefused) {
    zoltest::TempDir dir;
    const std::string s32(32, 'S'), s33(33, 'T'), i32(32, 'I'), i33(33, 'J'), g29(29, 'G');
    std::string name = std::string(255 - dir.path().size() - 5, 'f') + ".ini";  // 255 in all
    std::string path = dir.writeFile(name, "[" + s32 + "]\n" + i32 + "=1\n" + i32 + "=2\n" + i33 +
                                               "=3\n" + i33 + "=4\n[" + s33 + "]\n[" + g29 + "]\n");
    CZolIniFile ini;
    EXPECT_EQ(-1, ini.ReOpen((path + "x").c_str(), CZolIniFile::eRead)) << "256 characters";
    EXPECT_STREQ("", ini.m_szFileName) << "a cut name could name another file";
    ASSERT_EQ(0, ini.ReOpen(path.c_str(), CZolIniFile::eRead));
    ASSERT_EQ(0, ini.ReOpen()) << "the stored name is whole, so it opens the same file";

    // Header names into exactly 33 bytes: 32 characters whole, 33 cut to 32.
    std::vector<char> header(33), bracketed(35);
    ASSERT_EQ(0, ini.GetNextSection(header.data()));
    EXPECT_EQ(s32, header.data());
    // An item name of 32 characters is remembered (the next lookup goes on), one of 33 not.
    int value = 0;
    for (auto [item, expected] : {std::pair(&i32, 1), {&i32, 2}, {&i33, 3}, {&i33, 3}}) {
        EXPECT_EQ(0, ini.GetItem(item->c_str(), value));
        EXPECT_EQ(expected, value);
    }
    EXPECT_EQ(-1, ini.GetItem(std::string(5000, 'k').c_str(), value)) << "longer than any key";
    ASSERT_EQ(0, ini.GetNextSection(header.data()));
    EXPECT_EQ(s33.substr(0, 32), header.data());

    // The longest key GetSection takes: 29 characters, 31 once bracketed; 30 never matches.
    EXPECT_EQ(0, ini.GetSection(("[" + g29 + "]").c_str()));
    EXPECT_STREQ(("[" + g29 + "]").c_str(), ini.m_szSection);
    EXPECT_EQ(-1, ini.GetSection(std::string(30, 'G').c_str()));
    EXPECT_EQ(0, ini.m_nSectionPos);

    // CompleteSection needs room for two more characters than the name, and no more.
    memcpy(bracketed.data(), std::string(32, 'h').c_str(), 33);
    EXPECT_EQ("[" + std::string(32, 'H') + "]", ini.CompleteSection(bracketed.data()));

    // The bookmark table grows by five records, keeping those it had.
    rewind(ini.m_pFile);
    for (int mark = 0; mark < 12; ++mark) {
        ASSERT_EQ(mark, ini.SetBookMark());
        fgetc(ini.m_pFile);
    }
    for (int mark = 0; mark < 12; ++mark) {
        EXPECT_TRUE(ini.GoBookMark(mark) == 0 && ftell(ini.m_pFile) == mark) << mark;
    }

    // Fifteen comment symbols fit their field; sixteen are refused and change nothing.
    EXPECT_EQ(0, ini.SetCommentSymbols("#;!%&/()=?*+~-_"));
    EXPECT_EQ(-1, ini.SetCommentSymbols("#;!%&/()=?*+~-_@"));
    EXPECT_STREQ("#;!%&/()=?*+~-_", ini.m_szCommentSymbols);
}

}  // namespace
