// Exact-name directory search and the look-up along PATH, on real temporary directories.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "CZolFindFile.h"
#include "ZolTestSupport.h"

namespace {
// Sets PATH (or unsets it, for null) for one test and restores it afterwards.
class PathGuard {
public:
    explicit PathGuard(const char* value) {
        if (const char* old = getenv("PATH")) {
            old_ = old;
        }
        value ? setenv("PATH", value, 1) : unsetenv("PATH");
    }
    ~PathGuard() { old_ ? setenv("PATH", old_->c_str(), 1) : unsetenv("PATH"); }

private:
    std::optional<std::string> old_;
};

std::string str(const CZolString& s) {
    return s.c_str();
}

// Counts how often Which goes through the matching step, and refuses one name.
class CountingFindFile : public CZolFindFile {
public:
    int FindNextFile() override {
        ++calls;
        int found = CZolFindFile::FindNextFile();
        return found == 1 && m_strFileName == CZolString("hidden") ? 0 : found;
    }
    int calls = 0;
};
}  // namespace

TEST(FindFile, NameSplits) {
    struct Case {
        const char* name;
        const char* directory;
        const char* file;
    };
    const Case cases[] = {
        {"usr/bin/ls", "usr/bin", "ls"},
        {"/usr/bin/ls", "/usr/bin", "ls"},
        {"ls", "", ""},
        {"/ls", "", ""},
        {"//ls", "/", "ls"},
        {"dir/", "dir", ""},
        {"", "", ""},
        {nullptr, "", ""},
    };
    CZolFindFile finder;
    for (const Case& c : cases) {
        EXPECT_EQ(str(finder.GetFilePath(c.name)), c.directory) << (c.name ? c.name : "null");
        EXPECT_EQ(str(finder.getFileName(c.name)), c.file) << (c.name ? c.name : "null");
    }
}

TEST(FindFile, MatchesExactNamesOnly) {
    zoltest::TempDir dir;
    for (const char* name : {"ls", "l*", "a?c", "Tool"}) {
        dir.writeFile(name, "");
    }
    struct Case {
        const char* searched;
        int found;
    };
    const Case cases[] = {
        {"ls", 1},   {"LS", 0},   {"l*", 1}, {"l?", 0}, {"a?c", 1},     {"abc", 0},
        {"tool", 0}, {"Tool", 1}, {".", 1},  {"..", 1}, {"missing", 0},
    };
    CZolFindFile finder;
    for (const Case& c : cases) {
        std::string full = dir.path() + "/" + c.searched;
        ASSERT_EQ(finder.FindFile(full.c_str(), 0xFFFFFFFFu), 1) << "flags have no effect";
        EXPECT_EQ(finder.FindNextFile(), c.found) << c.searched;
        if (c.found == 1) {
            EXPECT_EQ(str(finder.GetFileName()), c.searched);
            EXPECT_EQ(str(finder.GetFilePath()), dir.path());
            EXPECT_EQ(finder.FindNextFile(), 0) << "one entry of each name";
        }
    }
}

TEST(FindFile, DirectoriesThatCannotBeSearched) {
    CZolFindFile finder;
    EXPECT_EQ(finder.FindFile("ls", 0), 0);
    EXPECT_EQ(finder.FindFile("/ls", 0), 0);
    EXPECT_EQ(finder.FindNextFile(), 0) << "no search open";
    EXPECT_EQ(finder.FindFile("//tmp", 0), 1) << "the root, searched as //name";
    EXPECT_EQ(finder.FindNextFile(), 1);
    EXPECT_EQ(str(finder.GetFilePath()), "/");

    zoltest::TempDir dir;
    std::string missing = dir.path() + "/nowhere/x";
    EXPECT_EQ(finder.FindFile(missing.c_str(), 0), 0);
    EXPECT_EQ(str(finder.GetFilePath()), dir.path() + "/nowhere") << "set even on failure";
    std::string file = dir.writeFile("plain", "") + "/x";
    EXPECT_EQ(finder.FindFile(file.c_str(), 0), 0) << "not a directory";
    EXPECT_EQ(finder.closeSearch(), 1);
    EXPECT_EQ(finder.closeSearch(), 1);
}

TEST(FindFile, WhichWalksPathInOrder) {
    zoltest::TempDir a, b;
    b.writeFile("tool", "");
    a.writeFile("both", "");
    b.writeFile("both", "");
    ASSERT_EQ(mkdir((b.path() + "/sub").c_str(), 0755), 0);
    b.writeFile("sub/inner", "");
    const std::string ab = a.path() + ":" + b.path();
    struct Case {
        std::string path;
        bool unset;
        const char* name;
        int found;
        std::string directory;
    };
    const Case cases[] = {
        {ab, false, "tool", 1, b.path()},
        {b.path(), false, "tool", 1, b.path()},
        {ab, false, "both", 1, a.path()},
        {"::" + b.path(), false, "tool", 1, b.path()},
        {b.path() + "/", false, "tool", 1, b.path() + "/"},
        {ab, false, "sub/inner", 1, b.path() + "/sub"},
        {ab, false, "TOOL", 0, ""},
        {"", true, "tool", 0, ""},
        {"::", false, "tool", 0, ""},
        {"", false, "tool", 0, ""},
    };
    for (const Case& c : cases) {
        PathGuard path(c.unset ? nullptr : c.path.c_str());
        CZolFindFile finder;
        EXPECT_EQ(finder.Which(c.name), c.found) << c.path << " " << c.name;
        if (c.found == 1) {
            EXPECT_EQ(str(finder.GetFilePath()), c.directory) << c.path << " " << c.name;
            EXPECT_EQ(str(finder.GetFileName()),
                      std::string(c.name).substr(std::string(c.name).rfind('/') + 1));
        }
    }
    PathGuard path(ab.c_str());
    CZolFindFile finder;
    EXPECT_EQ(finder.Which(nullptr), 0);
}

TEST(FindFile, WhichUsesTheDerivedMatchingStep) {
    zoltest::TempDir a, b;
    a.writeFile("hidden", "");
    b.writeFile("hidden", "");
    b.writeFile("tool", "");
    PathGuard path((a.path() + ":" + b.path()).c_str());
    CountingFindFile finder;
    EXPECT_EQ(finder.Which("hidden"), 0) << "the override refuses it in every directory";
    EXPECT_EQ(finder.calls, 2);
    EXPECT_EQ(finder.Which("tool"), 1);
    EXPECT_EQ(finder.calls, 4);
    EXPECT_EQ(str(finder.GetFilePath()), b.path());
}

namespace {
// The call goes through a pointer the compiler cannot see is null, and without the
// undefined-behaviour sanitizer's own null check: the library's assertion must catch it.
__attribute__((no_sanitize("undefined"))) void callOnNull(int which) {
    CZolFindFile* finder = nullptr;
    asm volatile("" : "+r"(finder));
    switch (which) {
        case 0:
            finder->FindFile("/tmp/x", 0);
            break;
        case 1:
            finder->Which("ls");
            break;
        default:
            finder->closeSearch();
            break;
    }
}
}  // namespace

TEST(FindFileDeathTest, NullObjectStopsThroughTheAssertion) {
    for (int which = 0; which < 3; ++which) {
        EXPECT_EXIT(
            {
                dup2(2, 1);
                callOnNull(which);
            },
            testing::KilledBySignal(SIGFPE),
            "^\aFAILED ASSERTION this != NULL \\(.*CZolFindFile.cpp line [0-9]+\\)\n$")
            << which;
    }
}
