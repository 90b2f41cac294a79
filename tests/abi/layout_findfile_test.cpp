// The field layout and virtual slot order of the find-file class, as compiled client
// programs see them.
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#include <dirent.h>

#include <cstddef>

#include <gtest/gtest.h>

#include "CZolFindFile.h"
#include "ZolTestSupport.h"

// A named namespace: in an unnamed one the compiler may prove no object of this type
// exists and fold the calls.
namespace layout_twin {
struct FindFileTwin {
    virtual ~FindFileTwin();
    virtual int FindNextFile() = 0;
    virtual CZolString GetFileName() const = 0;
    virtual CZolString GetFilePath() const = 0;
    CZolString m_strFilePath;
    CZolString m_strFileName;
    CZolString m_strSearchName;
    DIR* m_pDir;
};
}  // namespace layout_twin
using layout_twin::FindFileTwin;

static_assert(sizeof(CZolFindFile) == 64, "vptr, three CZolStrings, DIR*");
static_assert(sizeof(FindFileTwin) == sizeof(CZolFindFile));
static_assert(offsetof(FindFileTwin, m_strFilePath) == 8);
static_assert(offsetof(FindFileTwin, m_strFileName) == 24);
static_assert(offsetof(FindFileTwin, m_strSearchName) == 40);
static_assert(offsetof(FindFileTwin, m_pDir) == 56);

// Hides where the pointer came from, so the calls really go through the vtable slots.
static FindFileTwin* twin(CZolFindFile& finder) {
    void* p = &finder;
    asm volatile("" : "+r"(p));
    return static_cast<FindFileTwin*>(p);
}

// Not checked by the sanitizer's dynamic-type check: the twin is a view, not an object.
__attribute__((no_sanitize("vptr"))) static void callThroughSlots() {
    zoltest::TempDir dir;
    dir.writeFile("entry", "");
    CZolFindFile finder;
    EXPECT_EQ(finder.FindFile((dir.path() + "/entry").c_str(), 0), 1);
    FindFileTwin* t = twin(finder);
    EXPECT_NE(t->m_pDir, nullptr);
    EXPECT_STREQ(t->m_strSearchName.c_str(), "entry");
    EXPECT_EQ(t->FindNextFile(), 1);
    EXPECT_STREQ(t->GetFileName().c_str(), "entry");
    EXPECT_EQ(std::string(t->GetFilePath().c_str()), dir.path());
}

TEST(LayoutFindFile, VirtualSlotsAreInBinaryOrder) {
    callThroughSlots();
}
