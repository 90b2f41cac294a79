// Formats whose field widths reach far beyond the fixed buffers: the text is the one
// vsnprintf gives, cut at 511 (Format) or 255 (formatV) bytes; and the C-string case
// conversions. The string and C-string fuzz targets check the rest against their models.
#include <limits.h>
#include <stdarg.h>

#include <string>

#include <gtest/gtest.h>

#include "CZolString.h"
#include "ZolCString.h"

std::string formatV(const char* fmt, ...) {
    CZolString s;
    va_list args;
    va_start(args, fmt);
    s.formatV(fmt, args);
    va_end(args);
    return s.c_str();
}

TEST(String, FormatsCostWhatFitsTheBufferAndGiveWhatVsnprintfGives) {
    CZolString s;
    volatile int huge = INT_MAX;  // out of sight of the compiler's own format checks
    s.Format("%2147483647d", 1);
    EXPECT_EQ(s.c_str(), std::string(511, ' '));
    s.Format("%-*d|", huge - 2, 7);
    EXPECT_EQ(s.c_str(), "7" + std::string(510, ' '));
    s.Format("ab%*d", huge - 1, 1);
    EXPECT_STREQ(s.c_str(), "") << "a whole text over INT_MAX bytes fails as in vsnprintf";
    EXPECT_EQ(formatV("%s%*c", "x", huge - 1, 'y'), "x" + std::string(254, ' '));
    EXPECT_EQ(formatV("%s", std::string(600, 'q').c_str()), std::string(255, 'q'));
}

TEST(CString, CaseConversionInPlaceUpToTheTerminator) {
    char text[] = "Hello, World 9\0tail";
    EXPECT_EQ(strupr(text), text);
    EXPECT_STREQ(text, "HELLO, WORLD 9");
    EXPECT_STREQ(strlwr(text), "hello, world 9");
    EXPECT_STREQ(text + 15, "tail");
    CZolString word("mixed Case");  // through the platform layer's upper-casing
    word.MakeUpper();
    EXPECT_STREQ(word.c_str(), "MIXED CASE");
}
