// Section walking, lookups, the reading context, bookmarks, comments and hostile files.
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "CZolIniFile.h"
#include "ZolTestSupport.h"

namespace {

const char kNetDisk[] = "[Net]\nPort = 80\nport=81\n[Disk]\nSize=5\n";

class IniFile : public ::testing::Test {
protected:
    zoltest::TempDir dir;
    CZolIniFile ini;
    std::string open(const std::string& content) {
        std::string path = dir.writeFile("t.ini", content);
        EXPECT_EQ(ini.ReOpen(path.c_str(), CZolIniFile::eRead), 0);
        return path;
    }
    int intItem(const char* name) {
        int value = -12345;
        return ini.GetItem(name, value) == 0 ? value : -1;
    }
};

TEST_F(IniFile, RepeatedLookupReadsNextOccurrenceThenFailsThenRestarts) {
    open(kNetDisk);
    ASSERT_EQ(ini.GetSection("net"), 0);
    EXPECT_EQ(intItem("PORT"), 80);
    EXPECT_EQ(intItem("PORT"), 81);
    EXPECT_EQ(intItem("PORT"), -1);
    EXPECT_EQ(intItem("PORT"), 80);
    EXPECT_EQ(intItem("Size"), -1) << "the Disk header ends the Net section";
    EXPECT_EQ(intItem(" Port"), -1) << "requested names are not trimmed";
}

TEST_F(IniFile, NextSectionWalksHeadersInFileOrder) {
    open(std::string("top=1\n") + kNetDisk + "[ a b ] ; note\n[NoClose\n");
    char name[33];
    const char* expected[] = {"NET", "DISK", " A B ", "NOCLOSE"};
    for (const char* want : expected) {
        ASSERT_EQ(ini.GetNextSection(name), 0);
        EXPECT_STREQ(name, want);
    }
    long before = ini.m_nSectionPos;
    EXPECT_EQ(ini.GetNextSection(name), -1);
    EXPECT_EQ(ini.m_nSectionPos, before);
    EXPECT_STREQ(ini.m_szSection, "NOCLOSE");
}

TEST_F(IniFile, LeadingPartIsSeenWithoutSection) {
    open("top = 7\n[A]\nx=2\n");
    EXPECT_EQ(intItem("top"), 7);
    EXPECT_EQ(intItem("x"), -1) << "the scan of the leading part ends at the first header";
    ASSERT_EQ(ini.GetSection("a"), 0);
    EXPECT_EQ(intItem("top"), -1);
    EXPECT_EQ(ini.GetSection("missing"), -1);
    EXPECT_EQ(intItem("top"), 7);
}

TEST_F(IniFile, SectionKeyIsFoundAnywhereInNonCommentLines) {
    open("[A]\n; [Disk]\nlink = [disk] ; not a header\n[Disk] ; real\nSize=5\n");
    ASSERT_EQ(ini.GetSection("Disk"), 0);
    EXPECT_STREQ(ini.m_szSection, "[DISK]");
    EXPECT_EQ(intItem("Size"), -1) << "selected at the item line, so the A header is not passed";
    EXPECT_EQ(intItem("link"), -1) << "the comment line above it was skipped";
}

TEST_F(IniFile, ReadingContextFollowsEachOperation) {
    std::string path = open(kNetDisk);
    const long afterNet = 6, afterPort80 = 16, afterDisk = 31;
    struct Step {
        const char* what;
        long sectionPos;
        const char* section;
        const char* item;
        long streamPos;
    };
    char name[33], value[514];
    auto check = [&](const Step& s) {
        SCOPED_TRACE(s.what);
        EXPECT_EQ(ini.m_nSectionPos, s.sectionPos);
        EXPECT_STREQ(ini.m_szSection, s.section);
        EXPECT_STREQ(ini.m_szItem, s.item);
        EXPECT_EQ(ftell(ini.m_pFile), s.streamPos);
    };
    check({"ReOpen", 0, "", "", 0});
    ASSERT_EQ(ini.GetSection("NET"), 0);
    check({"GetSection found", afterNet, "[NET]", "", afterNet});
    ASSERT_EQ(ini.FindItem("port", value), 0);
    check({"FindItem found", afterNet, "[NET]", "PORT", afterPort80});
    ASSERT_EQ(ini.GetSection("[net]"), 0);
    check({"GetSection same", afterNet, "[NET]", "PORT", afterNet});
    ASSERT_EQ(ini.FindItem("size", value), -1);
    check({"FindItem not found", afterNet, "[NET]", "", afterDisk});
    ASSERT_EQ(ini.GetNextSection(name), 0);
    check({"GetNextSection found", afterDisk, "DISK", "", afterDisk});
    ASSERT_EQ(ini.GetNextSection(name), -1);
    check({"GetNextSection not found", afterDisk, "DISK", "", 38});
    ASSERT_EQ(ini.GetSection("nope"), -1);
    check({"GetSection not found", 0, "", "", 38});
    ASSERT_EQ(ini.ReOpen(path.c_str(), CZolIniFile::eRead), 0);
    check({"ReOpen again", 0, "", "", 0});
}

TEST_F(IniFile, BookmarksRestoreContextAndGrowInFives) {
    open(kNetDisk);
    ASSERT_EQ(ini.GetSection("net"), 0);
    EXPECT_EQ(intItem("port"), 80);
    EXPECT_EQ(ini.SetBookMark(), 0);
    ASSERT_EQ(ini.GetSection("disk"), 0);
    EXPECT_EQ(ini.SetBookMark(), 1);
    for (int i = 2; i < 12; ++i) {
        EXPECT_EQ(ini.SetBookMark(), i);
    }
    EXPECT_EQ(ini.GoBookMark(12), -1);
    EXPECT_EQ(ini.GoBookMark(-1), -1);
    EXPECT_STREQ(ini.m_szSection, "[DISK]") << "a refused number changes nothing";
    ASSERT_EQ(ini.GoBookMark(0), 0);
    EXPECT_STREQ(ini.m_szSection, "[NET]");
    EXPECT_STREQ(ini.m_szItem, "PORT");
    EXPECT_EQ(intItem("port"), 81) << "the lookup continues past the bookmarked match";
    ASSERT_EQ(ini.GoBookMark(11), 0);
    EXPECT_EQ(intItem("size"), 5);
    ASSERT_EQ(ini.ReOpen(), 0);
    EXPECT_EQ(ini.m_nBookMarks, 0);
    EXPECT_EQ(ini.GoBookMark(0), -1);
}

TEST_F(IniFile, CommentSymbolsCutValuesAndHideLines) {
    open("[A]\nkey = abc ; note\n#x = 1\n");
    ASSERT_EQ(ini.GetSection("A"), 0);
    char value[514];
    ASSERT_EQ(ini.FindItem("KEY", value), 0);
    EXPECT_STREQ(value, "abc ");
    EXPECT_EQ(ini.SetCommentSymbols(nullptr), 0);
    ASSERT_EQ(ini.GetSection("A"), 0);  // back to the section's start: first occurrence
    ASSERT_EQ(ini.FindItem("key", value), 0);
    EXPECT_STREQ(value, "abc ; note");
    EXPECT_EQ(ini.SetCommentSymbols("#;!%&/()=?*+~-_"), 0);
    EXPECT_EQ(ini.SetCommentSymbols("#;!%&/()=?*+~-_@"), -1);
    EXPECT_STREQ(ini.m_szCommentSymbols, "#;!%&/()=?*+~-_");
    EXPECT_EQ(ini.isCommentChar('@'), 0);
    EXPECT_EQ(ini.isCommentChar('\0'), 0);
    EXPECT_EQ(ini.FindItem("x", value), -1);
    EXPECT_EQ(ini.FindItem("#X", value), 0);
}

TEST_F(IniFile, LongLinesArriveInPiecesOf599) {
    open("[A]\n" + std::string(599, 'a') + "k=1\n" + std::string(598, 'b') + "\n" +
         std::string(599, 'c') + "\n" + std::string(599, 'd') + "[LONG]\n");
    ASSERT_EQ(ini.GetSection("a"), 0);
    EXPECT_EQ(intItem("k"), 1);
    char name[33];
    ASSERT_EQ(ini.GetNextSection(name), 0);
    EXPECT_STREQ(name, "LONG");
}

TEST_F(IniFile, HostileLineEndingsAndBytes) {
    struct Case {
        std::string content;
        const char* item;
        int expected;
    } cases[] = {
        {"[A]\r\nx=1\r\n", "x", 1},
        {"[A]\nx=7", "x", 7},
        {"[A]\rx=1\r", "x", -1},  // one physical line: the header line holds everything
        {std::string("[A]\nx=1\0y=2\ny=3\n", 16), "y", 3},
        {std::string("[A]\nx=1\0y=2\ny=3\n", 16), "x", 1},
        {"[A]\n" + std::string(1 << 20, '\xff') + "\nz=4\n", "z", 4},
        {"", "x", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.content.substr(0, 20)));
        open(c.content);
        if (!c.content.empty()) {
            ASSERT_EQ(ini.GetSection("a"), 0);
        }
        EXPECT_EQ(intItem(c.item), c.expected);
    }
}

TEST_F(IniFile, OverlongNamesAreRefusedOrCutSafely) {
    std::string longName(40, 'N');
    open("[" + longName + "]\n" + longName + "=1\n" + longName + "=2\n");
    char name[33];
    ASSERT_EQ(ini.GetNextSection(name), 0);
    EXPECT_EQ(std::string(name), longName.substr(0, 32));
    EXPECT_EQ(intItem(longName.c_str()), 1);
    EXPECT_EQ(intItem(longName.c_str()), 1) << "a name over 32 characters is not remembered";
    EXPECT_EQ(ini.GetSection(longName.c_str()), -1);
    EXPECT_EQ(ini.GetSection(std::string(30, 'S').c_str()), -1);
    EXPECT_EQ(ini.m_nSectionPos, 0);
    EXPECT_EQ(intItem(std::string(5000, 'k').c_str()), -1);
    EXPECT_EQ(ini.ReOpen(std::string(300, 'f').c_str(), CZolIniFile::eRead), -1);
    EXPECT_STREQ(ini.m_szFileName, "");
}

TEST_F(IniFile, OpenFailuresLeaveNoFile) {
    EXPECT_EQ(ini.ReOpen(dir.path().c_str(), CZolIniFile::eRead), -1);
    EXPECT_EQ(ini.m_bOpen, 0);
    EXPECT_EQ(ini.ReOpen((dir.path() + "/missing").c_str(), CZolIniFile::eRead), -1);
    EXPECT_EQ(ini.ReOpen(nullptr, CZolIniFile::eRead), -1);
    char name[33], buffer[8], value[514];
    EXPECT_EQ(ini.GetNextSection(name), -1);
    EXPECT_EQ(ini.GetSection("a"), -1);
    EXPECT_EQ(ini.FindItem("a", value), -1);
    EXPECT_EQ(ini.SetBookMark(), -1);
    EXPECT_EQ(ini._GetLine(buffer, 8, '\n'), 0);
    EXPECT_EQ(ini.Write("a", "b", 1), -1);

    std::string path = dir.writeFile("secret.ini", "[A]\nx=1\n");
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    pid_t child = zoltest::forkChild([&] {
        if (geteuid() == 0 && setuid(65534) != 0) {
            return 2;
        }
        CZolIniFile reader(path.c_str(), CZolIniFile::eRead);
        int value = 0;
        return reader.m_bOpen == 0 && reader.GetItem("x", value) == -1 ? 0 : 1;
    });
    EXPECT_EQ(zoltest::exitCodeOf(zoltest::waitChild(child, 10000)), 0);
}

TEST_F(IniFile, ReOpenWithoutNameIsReadOnly) {
    std::string path = open("[A]\nx=1\n");
    ASSERT_EQ(ini.ReOpen(path.c_str(), CZolIniFile::eReadWrite), 0);
    EXPECT_NE(fputc('#', ini.m_pFile), EOF);
    ASSERT_EQ(ini.ReOpen(), 0);
    EXPECT_EQ(fputc('#', ini.m_pFile), EOF);
}

TEST_F(IniFile, GetLineReadsRawBytesUpToDelimiter) {
    open("ab");
    char buffer[10] = {};
    EXPECT_EQ(ini._GetLine(buffer, 10, '\n'), 2);
    EXPECT_EQ(std::string(buffer, 2), "a\n");
    EXPECT_EQ(ini._GetLine(buffer, 10, '\n'), 0);
    open("xyz;rest");
    EXPECT_EQ(ini._GetLine(buffer, 10, ';'), 4);
    EXPECT_EQ(std::string(buffer, 4), "xyz;");
    EXPECT_EQ(ini._GetLine(buffer, 2, ';'), 2);
    EXPECT_EQ(std::string(buffer, 2), "r;");
}

}  // namespace
