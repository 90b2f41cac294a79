// Time spans: truncating signed splits, their own Format conversions and the 32-bit
// stream form.
#include <gtest/gtest.h>

#include <string>

#include "CZolTimeSpan.h"
#include "ZolStreamBytes.h"

using zoltest::Bytes;
using zoltest::ByteStream;

TEST(TimeSpan, PartsTruncateTowardZero) {
    struct Case {
        long seconds;
        long days, totalHours;
        int hours, minutes, secs;
    };
    const Case cases[] = {
        {93784, 1, 26, 2, 3, 4}, {-90061, -1, -25, -1, -1, -1}, {-3661, 0, -1, -1, -1, -1},
        {59, 0, 0, 0, 0, 59},    {-59, 0, 0, 0, 0, -59},        {10 * 86400 + 5, 10, 240, 0, 0, 5},
    };
    for (const Case& c : cases) {
        CZolTimeSpan span(c.seconds);
        EXPECT_EQ(span.GetDays(), c.days) << c.seconds;
        EXPECT_EQ(span.GetTotalHours(), c.totalHours) << c.seconds;
        EXPECT_EQ(span.GetHours(), c.hours) << c.seconds;
        EXPECT_EQ(span.GetMinutes(), c.minutes) << c.seconds;
        EXPECT_EQ(span.GetSeconds(), c.secs) << c.seconds;
        EXPECT_EQ(span.GetTotalMinutes(), c.seconds / 60) << c.seconds;
    }
}

TEST(TimeSpan, PartsAreNeitherCheckedNorNormalised) {
    EXPECT_EQ(CZolTimeSpan(1, 2, 3, 4).GetTotalSeconds(), 93784);
    EXPECT_TRUE(CZolTimeSpan(0, 25, 0, 0) == CZolTimeSpan(1, 1, 0, 0));
    EXPECT_EQ(CZolTimeSpan(1, -24, 0, -1).GetTotalSeconds(), -1);
    EXPECT_EQ(CZolTimeSpan(100000000L, 0, 0, 0).GetTotalSeconds(), 8640000000000L)
        << "computed in 64 bits";
    EXPECT_EQ(CZolTimeSpan().GetTotalSeconds(), 0);
}

TEST(TimeSpan, ArithmeticAndSignedComparison) {
    CZolTimeSpan a(-5), b(3);
    EXPECT_EQ((a + b).GetTotalSeconds(), -2);
    EXPECT_EQ((a - b).GetTotalSeconds(), -8);
    a += b;
    EXPECT_EQ(a.GetTotalSeconds(), -2);
    a -= CZolTimeSpan(10);
    EXPECT_EQ(a.GetTotalSeconds(), -12);
    CZolTimeSpan lo(-5), hi(3);
    EXPECT_EQ(lo < hi, 1);
    EXPECT_EQ(lo > hi, 0);
    EXPECT_EQ(lo <= hi, 1);
    EXPECT_EQ(lo >= hi, 0);
    EXPECT_EQ(lo != hi, 1);
    EXPECT_EQ(lo == CZolTimeSpan(-5), 1);
    EXPECT_EQ(hi >= CZolTimeSpan(3), 1);
}

TEST(TimeSpan, FormatConversions) {
    struct Case {
        long seconds;
        const char* format;
        const char* expected;
    };
    const Case cases[] = {
        {93784, "%D days %H:%M:%S", "1 days 02:03:04"},
        {-3661, "%H:%M:%S", "-1:-1:-1"},
        {-90061, "%D", "-1"},
        {10 * 86400 + 5, "%D", "10"},
        {5, "%S", "05"},
        {5, "100%% %d %h %x", "100% d h x"},
        {5, "left%", "left"},
        {5, "%", ""},
        {5, "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(CZolTimeSpan(c.seconds).Format(c.format).c_str(), c.expected) << c.format;
    }
    EXPECT_STREQ(CZolTimeSpan(1).Format(nullptr).c_str(), "");
}

TEST(TimeSpan, FormatIsCutAt255Bytes) {
    std::string format(200, 'x');
    format += "%D%D%D%D%D%D%D%D%D%D";
    std::string expected = std::string(200, 'x') + std::string(55, '7');
    EXPECT_EQ(std::string(CZolTimeSpan(7 * 86400 * 1111111111L).Format(format.c_str()).c_str()),
              expected)
        << "no more than 255 bytes";
    EXPECT_EQ(std::string(CZolTimeSpan(0).Format(std::string(300, 'y').c_str()).c_str()),
              std::string(255, 'y'));
}

TEST(TimeSpan, StreamCarriesTheLow32BitsOnly) {
    ByteStream out;
    out << CZolTimeSpan(100) << CZolTimeSpan(-1) << CZolTimeSpan(0x100000002L);
    EXPECT_EQ(out.writes, 3) << "one Write per span";
    EXPECT_EQ(out.written, Bytes({100, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0}));

    ByteStream in(out.written);
    CZolTimeSpan a(0), b(0), c(0x500000000L);
    in >> a >> b >> c;
    EXPECT_EQ(a.GetTotalSeconds(), 100);
    EXPECT_EQ(b.GetTotalSeconds(), 4294967295L);
    EXPECT_EQ(c.GetTotalSeconds(), 0x500000002L) << "the high half is kept";

    CZolTimeSpan untouched(42);
    EXPECT_THROW(in >> untouched, int);
    EXPECT_EQ(untouched.GetTotalSeconds(), 42);
}
