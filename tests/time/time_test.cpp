// Times and spans: local calendar fields under UTC and under a zone with daylight saving,
// the extreme instants, strftime's 255-byte limit, truncating span parts and the span's
// own Format, wrapping arithmetic, and the 32-bit stream form.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <time.h>

#include <string>
#include <tuple>
#include <vector>

#include "CZolTime.h"
#include "ZolStreamBytes.h"

using zoltest::Bytes;

void setZone(const char* zone) {  // every test sets the zone it relies on
    setenv("TZ", zone, 1);
    tzset();
}

std::string fields(const CZolTime& t) {
    char text[128];
    snprintf(text, sizeof text, "%d-%d-%d %d:%d:%d w%d", t.GetYear(), t.GetMonth(), t.GetDay(),
             t.GetHour(), t.GetMinute(), t.GetSecond(), t.GetDayOfWeek());
    return text;
}

// Local fields and Format follow the zone, and an instant whose year (or ISO week year)
// is no int gives no fields and no text rather than a wrapped year.
TEST(Time, FieldsAndFormatsFollowTheZoneShowEveryPartAndNeverAWrappedYear) {
    const long last = 67767976201996799;  // 2147483646-12-31 23:59:59, whose %G is INT_MAX
    const std::string none = "-1--1--1 -1:-1:-1 w-1";
    using Case = std::tuple<const char*, long, std::string, std::string>;
    for (auto [zone, t, expected, formatted] : std::vector<Case>{
             {"UTC", 0, "1970-1-1 0:0:0 w5", "1970 1970 00:00 UTC"},
             {"Europe/Berlin", 1711846799, "2024-3-31 1:59:59 w1", "2024 2024 01:59 CET"},
             {"Europe/Berlin", 1711846800, "2024-3-31 3:0:0 w1", "2024 2024 03:00 CEST"},
             {"UTC", last, "2147483646-12-31 23:59:59 w2", "2147483646 2147483647 23:59 UTC"},
             {"UTC", last + 1, none, ""},           // year INT_MAX: its ISO week year is not an int
             {"UTC", 67768036191676799, none, ""},  // the last localtime takes: year INT_MAX + 1900
             {"UTC", -67768040609740800, "-2147481748-1-1 0:0:0 w5",
              "-2147481748 -2147481748 00:00 UTC"},
             {"UTC", -67768040609740801, none, ""}}) {
        setZone(zone);
        EXPECT_EQ(fields(CZolTime(t)), expected) << zone << " " << t;
        EXPECT_EQ(CZolTime(t).Format("%Y %G %H:%M %Z").c_str(), formatted) << t;
    }
    tm mine{};
    EXPECT_EQ(CZolTime(LONG_MAX).GetLocalTm(&mine), nullptr) << "localtime fails";
    // The span's own conversions show every part; strftime gives nothing rather than a cut.
    setZone("UTC");
    for (auto [span, format, expected] :
         std::vector<std::tuple<CZolTimeSpan, std::string, std::string>>{
             {CZolTimeSpan(1, 2, 3, 4), "%D days %H:%M:%S", "1 days 02:03:04"},
             {CZolTimeSpan(-90061), "%D %H:%M:%S", "-1 -1:-1:-1"},
             {CZolTimeSpan(0, 25, 0, -1), "%D %H:%M:%S", "1 00:59:59"},
             {CZolTimeSpan(5), "100%% %d %h %x %S left%", "100% d h x 05 left"},
             {CZolTimeSpan(7 * 86400 * 1111111111L), std::string(200, 'x') + "%D%D%D%D%D%D",
              std::string(200, 'x') + std::string(55, '7')}}) {
        EXPECT_EQ(span.Format(format.c_str()).c_str(), expected) << format;
    }
    EXPECT_EQ(CZolTimeSpan(-90061).GetTotalHours(), -25);
    EXPECT_EQ(CZolTimeSpan(-90061).GetTotalMinutes(), -1501);
    EXPECT_EQ(CZolTime(0).Format(std::string(255, 'a').c_str()).c_str(), std::string(255, 'a'));
    EXPECT_STREQ(CZolTime(0).Format((std::string(252, 'a') + "%Y").c_str()).c_str(), "");
}

TEST(Time, ArithmeticWithSpansIsSignedAndWrapsAtTheEndsOfLong) {
    CZolTime t(LONG_MAX);
    EXPECT_EQ((t += CZolTimeSpan(1)).GetTime(), LONG_MIN);
    EXPECT_EQ((t - CZolTimeSpan(2) + CZolTimeSpan(1)).GetTime(), LONG_MAX);
    EXPECT_EQ((CZolTime(LONG_MIN) - CZolTime(1)).GetTotalSeconds(), LONG_MAX);
    EXPECT_EQ((CZolTime(40) - CZolTime(100)).GetTotalSeconds(), -60);
    CZolTimeSpan span(LONG_MIN);
    EXPECT_EQ((span -= CZolTimeSpan(1)).GetTotalSeconds(), LONG_MAX);
    EXPECT_EQ((span += CZolTimeSpan(2)).GetTotalSeconds(), LONG_MIN + 1);
    EXPECT_EQ(CZolTimeSpan(LONG_MAX / 86400 + 1, 0, 0, 0).GetTotalSeconds(),
              static_cast<long>((LONG_MAX / 86400 + 1) * 86400ul));
}

TEST(TimeAndSpan, StreamCarriesTheLow32BitsOnly) {
    CZolStreamBuffer writer(0, 16);
    writer << CZolTime(1000000000) << CZolTime(0x1000000FFL) << CZolTimeSpan(-1);
    const Bytes bytes = zoltest::heldBytes(writer);
    EXPECT_EQ(bytes, Bytes({0x00, 0xCA, 0x9A, 0x3B, 0xFF, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
    CZolTime a(0), b(0x700000000L);
    CZolTimeSpan span(-1), untouched(42);
    auto reader = zoltest::readerOf(bytes);
    *reader >> a >> span >> b;
    EXPECT_EQ(a.GetTime(), 1000000000);
    EXPECT_EQ(span.GetTotalSeconds(), -4294967041L) << "the high half is kept";
    EXPECT_EQ(b.GetTime(), 0x7FFFFFFFFL);
    EXPECT_THROW(*reader >> untouched, int);
    EXPECT_EQ(untouched.GetTotalSeconds(), 42);
}
