// INI names and values at the exact limits of the fields and buffers that hold them. Every
// caller buffer is a heap block of exactly the documented size, so one byte too many is an
// AddressSanitizer (or memcheck) report, not silent damage.
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "CZolIniFile.h"
#include "ZolTestSupport.h"

namespace {

std::unique_ptr<char[]> exactBuffer(size_t size) {
    std::unique_ptr<char[]> buffer(new char[size]);
    memset(buffer.get(), 'X', size);
    return buffer;
}

TEST(IniBounds, NamesAtTheirFieldLimitsAreKeptWholeOrRefused) {
    zoltest::TempDir dir;
    const std::string s32(32, 'S'), s33(33, 'T'), i32(32, 'I'), i33(33, 'J');
    std::string content = "[" + s32 + "]\n" + i32 + "=1\n" + i32 + "=2\n" + i33 + "=3\n" + i33 +
                          "=4\n[" + s33 + "]\n[" + std::string(29, 'G') + "]\n";
    std::string path = dir.path() + "/";
    path += std::string(255 - path.size() - 4, 'f') + ".ini";  // 255 characters in all
    ASSERT_EQ(255u, path.size());
    dir.writeFile(path.substr(dir.path().size() + 1), content);

    CZolIniFile ini;
    ASSERT_EQ(0, ini.ReOpen(path.c_str(), CZolIniFile::eRead));
    EXPECT_EQ(path, ini.m_szFileName);
    EXPECT_EQ(0, ini.ReOpen()) << "the stored name is whole, so it opens the same file";
    EXPECT_EQ(-1, ini.ReOpen((path + "x").c_str(), CZolIniFile::eRead)) << "256 characters";
    ASSERT_EQ(0, ini.ReOpen(path.c_str(), CZolIniFile::eRead));

    // Header names into a caller buffer of exactly 33 bytes: 32 characters whole, 33 cut.
    auto name = exactBuffer(33);
    ASSERT_EQ(0, ini.GetNextSection(name.get()));
    EXPECT_EQ(s32, name.get());
    // An item name of 32 characters is remembered (the next lookup continues), one of 33 not.
    int value = 0;
    EXPECT_EQ(0, ini.GetItem(i32.c_str(), value));
    EXPECT_EQ(0, ini.GetItem(i32.c_str(), value));
    EXPECT_EQ(2, value);
    EXPECT_EQ(0, ini.GetItem(i33.c_str(), value));
    EXPECT_EQ(0, ini.GetItem(i33.c_str(), value));
    EXPECT_EQ(3, value);
    ASSERT_EQ(0, ini.GetNextSection(name.get()));
    EXPECT_EQ(s33.substr(0, 32), name.get());

    // The longest key GetSection takes: 29 characters, 31 once bracketed, bare or bracketed.
    EXPECT_EQ(0, ini.GetSection(std::string(29, 'g').c_str()));
    EXPECT_EQ(0, ini.GetSection(("[" + std::string(29, 'g') + "]").c_str()));
    EXPECT_STREQ(ini.m_szSection, ("[" + std::string(29, 'G') + "]").c_str());

    // CompleteSection needs room for two more characters than the name, and no more.
    auto header = exactBuffer(35);
    memcpy(header.get(), std::string(32, 'h').c_str(), 33);
    EXPECT_EQ("[" + std::string(32, 'H') + "]", ini.CompleteSection(header.get()));
}

TEST(IniBounds, LongestValueFillsExactBuffersAndNoMore) {
    zoltest::TempDir dir;
    // The longest line one read takes: 599 characters, of which 597 are the value.
    const std::string longest(597, 'v');
    std::string path = dir.writeFile("v.ini", "[A]\nv=" + longest + "\n");
    CZolIniFile ini(path.c_str(), CZolIniFile::eRead);
    ASSERT_EQ(0, ini.GetSection("A"));

    auto found = exactBuffer(512);
    ASSERT_EQ(0, ini.FindItem("v", found.get()));
    EXPECT_EQ(longest.substr(0, 511), found.get());

    ASSERT_EQ(0, ini.GetSection("A"));
    auto text = exactBuffer(512);
    ASSERT_EQ(0, ini.GetItem("v", text.get()));
    EXPECT_EQ(longest.substr(0, 511), text.get());

    ASSERT_EQ(0, ini.GetSection("A"));
    auto bounded = exactBuffer(511);
    ASSERT_EQ(0, ini.GetItem("v", bounded.get(), 511));
    EXPECT_EQ(longest.substr(0, 511), std::string(bounded.get(), 511));

    ASSERT_EQ(0, ini.GetSection("A"));
    auto scanned = exactBuffer(512);
    char format[] = "s";
    ASSERT_EQ(0, ini.ScanItem("v", format, scanned.get()));
    EXPECT_EQ(longest.substr(0, 511), scanned.get());

    ASSERT_EQ(0, ini.GetSection("A"));
    char* copy = nullptr;
    ASSERT_EQ(0, ini.GetItem("v", &copy));
    ASSERT_NE(nullptr, copy);
    EXPECT_EQ(longest.substr(0, 511), copy);
    free(copy);
}

}  // namespace
