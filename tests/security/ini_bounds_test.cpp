// INI names at the exact limits of the fields and buffers that hold them. Caller buffers are
// heap blocks of exactly the documented size, so one byte too many is an AddressSanitizer
// (or memcheck) report, not silent damage. Values at their limits (597 characters in, 511
// out, into exact buffers) are seeds of fuzz/ini_fuzz.cpp.
#include <string.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "CZolIniFile.h"
#include "ZolTestSupport.h"

namespace {

TEST(IniBounds, NamesAtTheirFieldLimitsAreKeptWholeOrRefused) {
    zoltest::TempDir dir;
    const std::string s32(32, 'S'), s33(33, 'T'), i32(32, 'I'), i33(33, 'J'), g29(29, 'G');
    std::string path = dir.path() + "/";
    path += std::string(255 - path.size() - 4, 'f') + ".ini";  // 255 characters in all
    dir.writeFile(path.substr(dir.path().size() + 1), "[" + s32 + "]\n" + i32 + "=1\n" + i32 +
                                                          "=2\n" + i33 + "=3\n" + i33 + "=4\n[" +
                                                          s33 + "]\n[" + g29 + "]\n");
    CZolIniFile ini;
    EXPECT_EQ(-1, ini.ReOpen((path + "x").c_str(), CZolIniFile::eRead)) << "256 characters";
    EXPECT_STREQ("", ini.m_szFileName) << "a cut name could name another file";
    ASSERT_EQ(0, ini.ReOpen(path.c_str(), CZolIniFile::eRead));
    ASSERT_EQ(0, ini.ReOpen()) << "the stored name is whole, so it opens the same file";

    // Header names into exactly 33 bytes: 32 characters whole, 33 cut to 32.
    std::unique_ptr<char[]> name(new char[33]);
    ASSERT_EQ(0, ini.GetNextSection(name.get()));
    EXPECT_EQ(s32, name.get());
    // An item name of 32 characters is remembered (the next lookup goes on), one of 33 not.
    int value = 0;
    for (auto [item, expected] : {std::pair(&i32, 1), {&i32, 2}, {&i33, 3}, {&i33, 3}}) {
        EXPECT_EQ(0, ini.GetItem(item->c_str(), value));
        EXPECT_EQ(expected, value);
    }
    EXPECT_EQ(-1, ini.GetItem(std::string(5000, 'k').c_str(), value)) << "longer than any key";
    ASSERT_EQ(0, ini.GetNextSection(name.get()));
    EXPECT_EQ(s33.substr(0, 32), name.get());

    // The longest key GetSection takes: 29 characters, 31 once bracketed; 30 never matches.
    EXPECT_EQ(0, ini.GetSection(("[" + g29 + "]").c_str()));
    EXPECT_STREQ(("[" + g29 + "]").c_str(), ini.m_szSection);
    EXPECT_EQ(-1, ini.GetSection(std::string(30, 'G').c_str()));
    EXPECT_EQ(0, ini.m_nSectionPos);

    // CompleteSection needs room for two more characters than the name, and no more.
    std::unique_ptr<char[]> header(new char[35]);
    memcpy(header.get(), std::string(32, 'h').c_str(), 33);
    EXPECT_EQ("[" + std::string(32, 'H') + "]", ini.CompleteSection(header.get()));

    // The bookmark table grows by five records, keeping those it had.
    ASSERT_EQ(0, ini.ReOpen());
    for (int mark = 0; mark < 12; ++mark) {
        ASSERT_EQ(mark, ini.SetBookMark());
        ini._GetLine(name.get(), 1, '\n');
    }
    for (int mark = 11; mark >= 0; --mark) {
        ASSERT_EQ(0, ini.GoBookMark(mark));
        EXPECT_EQ(mark, ftell(ini.m_pFile));
    }

    // Fifteen comment symbols fit their field; sixteen are refused and change nothing.
    EXPECT_EQ(0, ini.SetCommentSymbols("#;!%&/()=?*+~-_"));
    EXPECT_EQ(-1, ini.SetCommentSymbols("#;!%&/()=?*+~-_@"));
    EXPECT_STREQ("#;!%&/()=?*+~-_", ini.m_szCommentSymbols);
}

}  // namespace
