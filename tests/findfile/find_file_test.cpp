// Exact-name directory search and the look-up along PATH, on real temporary directories.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <tuple>
#include <vector>

#include "CZolFindFile.h"
#include "ZolTestSupport.h"

using zoltest::Results;

TEST(FindFile, SplitsNamesAndMatchesExactNamesOnlyInOpenableDirectories) {
    const char* names[] = {"usr/bin/ls", "/usr/bin/ls", "ls", "/ls", "//ls", "dir/", nullptr};
    std::string splits;
    for (const char* name : names) {
        splits = splits + CZolFindFile().GetFilePath(name).c_str() + "|" +
                 CZolFindFile().getFileName(name).c_str() + " ";
    }
    EXPECT_EQ(splits, "usr/bin|ls /usr/bin|ls | | /|ls dir| | ");
    zoltest::TempDir dir;
    for (const char* name : {"ls", "l*", "Tool"})
        dir.writeFile(name, "");
    CZolFindFile finder;
    for (auto [name, found] : std::vector<std::pair<std::string, int>>{
             {"ls", 1}, {"LS", 0}, {"l*", 1}, {"l?", 0}, {"tool", 0}, {"Tool", 1}, {"..", 1}}) {
        ASSERT_EQ(finder.FindFile((dir.path() + "/" + name).c_str(), 0xFFFFFFFFu), 1);
        EXPECT_EQ(finder.FindNextFile(), found) << name;
        EXPECT_EQ(found ? finder.GetFileName().c_str() : name, name);
        EXPECT_EQ(finder.FindNextFile(), 0) << "one entry of each name";
    }
    EXPECT_EQ(Results(2, 0), Results({finder.FindFile("ls", 0), finder.FindFile("/ls", 0)}));
    EXPECT_EQ(finder.FindNextFile(), 0) << "no search open";
    EXPECT_EQ(finder.FindFile((dir.path() + "/ls/x").c_str(), 0), 0) << "not a directory";
    EXPECT_EQ(finder.GetFilePath().c_str(), dir.path() + "/ls") << "set even when it fails";
    EXPECT_EQ(Results(4, 1), Results({finder.FindFile("//tmp", 0), finder.FindNextFile(),
                                      finder.closeSearch(), finder.closeSearch()}));  // the root
}

// Refuses entries named "hidden", as a derived class checking the entry would.
struct Picky : CZolFindFile {
    int FindNextFile() override {
        return CZolFindFile::FindNextFile() == 1 && !(m_strFileName == CZolString("hidden"));
    }
};

TEST(FindFile, WhichWalksPathInOrderThroughTheVirtualMatchingStep) {
    zoltest::TempDir a, b;
    a.writeFile("hidden", "");
    a.writeFile("both", "");
    for (const char* name : {"tool", "both", "hidden"})
        b.writeFile(name, "");
    ASSERT_EQ(mkdir((b.path() + "/sub").c_str(), 0755), 0);
    b.writeFile("sub/inner", "");
    const std::string A = a.path(), B = b.path(), ab = A + ":" + B;
    using Case = std::tuple<std::string, const char*, std::string>;  // PATH, name, found in
    for (auto [path, name, directory] : std::vector<Case>{{ab, "tool", B},
                                                          {ab, "both", A},
                                                          {"::" + B, "tool", B},
                                                          {B + "/", "tool", B + "/"},
                                                          {ab, "sub/inner", B + "/sub"},
                                                          {ab, "hidden", ""},
                                                          {"::", "tool", ""},
                                                          {"", "tool", ""}}) {
        setenv("PATH", path.c_str(), 1);
        Picky finder;
        EXPECT_EQ(finder.Which(name), !directory.empty()) << path << " " << name;
        EXPECT_EQ(directory.empty() ? "" : finder.GetFilePath().c_str(), directory);
    }
    EXPECT_EQ(Picky().Which(nullptr), 0);
    unsetenv("PATH");
    EXPECT_EQ(Picky().Which("tool"), 0);
}

// The call goes through a pointer the compiler cannot see is null, and without the
// undefined-behaviour sanitizer's own null check: the library's assertion must catch it.
__attribute__((no_sanitize("undefined"))) void findThroughNull() {
    CZolFindFile* finder = nullptr;
    asm volatile("" : "+r"(finder));
    finder->Which("ls");
}

TEST(FindFileDeathTest, NullObjectStopsThroughTheAssertion) {
    EXPECT_EXIT((dup2(2, 1), findThroughNull()), testing::KilledBySignal(SIGFPE),
                "^\aFAILED ASSERTION this \\(.*CZolFindFile.cpp line [0-9]+\\)\n$");
}
