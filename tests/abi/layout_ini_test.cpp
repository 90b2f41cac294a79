// The field layout of the INI reader, as compiled client programs see it.
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#include <cstddef>
#include <type_traits>

#include <gtest/gtest.h>

#include "CZolIniFile.h"

static_assert(!std::is_polymorphic<CZolIniFile>::value, "no vtable");
static_assert(sizeof(CZolIniFile) == 376);
static_assert(offsetof(CZolIniFile, m_szFileName) == 0);
static_assert(offsetof(CZolIniFile, m_pBookMarks) == 256);
static_assert(offsetof(CZolIniFile, m_nBookMarks) == 264);
static_assert(offsetof(CZolIniFile, m_nSectionPos) == 272);
static_assert(offsetof(CZolIniFile, m_szSection) == 280);
static_assert(offsetof(CZolIniFile, m_szItem) == 313);
static_assert(offsetof(CZolIniFile, m_bOpen) == 348);
static_assert(offsetof(CZolIniFile, m_szCommentSymbols) == 352);
static_assert(offsetof(CZolIniFile, m_pFile) == 368);
static_assert(sizeof(CZolIniFile::m_szSection) == 33 && sizeof(CZolIniFile::m_szItem) == 33);
static_assert(sizeof(CZolIniFile::m_szCommentSymbols) == 16);

static_assert(sizeof(CZolIniFile::BookMark) == 88);
static_assert(offsetof(CZolIniFile::BookMark, nFilePos) == 0);
static_assert(offsetof(CZolIniFile::BookMark, nSectionPos) == 8);
static_assert(offsetof(CZolIniFile::BookMark, szSection) == 16);
static_assert(offsetof(CZolIniFile::BookMark, szItem) == 49);

static_assert(CZolIniFile::eRead == 0 && CZolIniFile::eReadWrite == 2);
static_assert(sizeof(CZolIniFile::EOpenMode) == 4);

TEST(LayoutIni, DefaultObjectHasTheDocumentedInitialFields) {
    CZolIniFile ini;
    EXPECT_STREQ(ini.m_szCommentSymbols, ";");
    EXPECT_EQ(ini.m_bOpen, 0);
    EXPECT_EQ(ini.m_pFile, nullptr);
    EXPECT_EQ(ini.m_pBookMarks, nullptr);
}
