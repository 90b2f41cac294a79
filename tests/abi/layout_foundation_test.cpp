// The field layout of the foundation classes, as compiled client programs see it.
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#include <cstddef>

#include <gtest/gtest.h>

#include "CZolException.h"
#include "CZolString.h"

// Offsets of private fields are checked through a layout twin: same bases, same fields.
namespace {
struct StringTwin {
    virtual ~StringTwin();
    char* m_pszData;
};
}  // namespace

static_assert(sizeof(CZolString) == 16, "vptr + one pointer");
static_assert(sizeof(StringTwin) == sizeof(CZolString));
static_assert(offsetof(StringTwin, m_pszData) == 8);
static_assert(sizeof(CZolException) == 32, "vptr + CZolString + unsigned int, padded");
static_assert(offsetof(CZolException, m_strMessage) == 8);
static_assert(offsetof(CZolException, m_nErrorCode) == 24);

TEST(LayoutFoundation, StringHoldsOnlyItsBufferAfterTheVtable) {
    CZolString text("abc");
    char* const* buffer = reinterpret_cast<char* const*>(reinterpret_cast<const char*>(&text) + 8);
    EXPECT_EQ(*buffer, text.c_str());
}
