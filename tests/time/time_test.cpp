// Absolute times: local calendar fields under a fixed zone and a zone with daylight
// saving (Europe/Berlin, from tzdata), strftime formatting, arithmetic with spans and the
// 32-bit stream form.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include <optional>
#include <string>

#include "CZolTime.h"
#include "ZolStreamBytes.h"

using zoltest::Bytes;
using zoltest::ByteStream;

namespace {
// Sets TZ for one test and restores the previous setting afterwards.
class ZoneGuard {
public:
    explicit ZoneGuard(const char* zone) {
        if (const char* old = getenv("TZ")) {
            old_ = old;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ZoneGuard() {
        old_ ? setenv("TZ", old_->c_str(), 1) : unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> old_;
};

struct Fields {
    int year, month, day, hour, minute, second, dayOfWeek;
};

void expectFields(const CZolTime& t, const Fields& f) {
    EXPECT_EQ(t.GetYear(), f.year) << t.GetTime();
    EXPECT_EQ(t.GetMonth(), f.month) << t.GetTime();
    EXPECT_EQ(t.GetDay(), f.day) << t.GetTime();
    EXPECT_EQ(t.GetHour(), f.hour) << t.GetTime();
    EXPECT_EQ(t.GetMinute(), f.minute) << t.GetTime();
    EXPECT_EQ(t.GetSecond(), f.second) << t.GetTime();
    EXPECT_EQ(t.GetDayOfWeek(), f.dayOfWeek) << t.GetTime();
}
}  // namespace

TEST(Time, FieldsAndFormatInUtc) {
    ZoneGuard zone("UTC");
    expectFields(CZolTime(0), {1970, 1, 1, 0, 0, 0, 5});
    expectFields(CZolTime(951782399), {2000, 2, 28, 23, 59, 59, 2});  // Monday
    expectFields(CZolTime(951782400), {2000, 2, 29, 0, 0, 0, 3});     // leap day
    expectFields(CZolTime(-1), {1969, 12, 31, 23, 59, 59, 4});
    EXPECT_STREQ(CZolTime(0).Format("%Y-%m-%d %H:%M:%S").c_str(), "1970-01-01 00:00:00");
    EXPECT_STREQ(CZolTime(1000000000).Format("%a %d %b %Y %T").c_str(), "Sun 09 Sep 2001 01:46:40");
}

TEST(Time, FieldsFollowDaylightSaving) {
    ZoneGuard zone("Europe/Berlin");
    // 2024-03-31 01:00 UTC: clocks jump from 02:00 CET to 03:00 CEST.
    const long jump = 1711846800;
    expectFields(CZolTime(jump - 1), {2024, 3, 31, 1, 59, 59, 1});
    expectFields(CZolTime(jump), {2024, 3, 31, 3, 0, 0, 1});
    EXPECT_STREQ(CZolTime(jump).Format("%H:%M %Z").c_str(), "03:00 CEST");
    EXPECT_STREQ(CZolTime(jump - 1).Format("%H:%M %Z").c_str(), "01:59 CET");
    expectFields(CZolTime(0), {1970, 1, 1, 1, 0, 0, 5});
    // Back to UTC in the same process: every getter converts afresh.
    ZoneGuard utc("UTC");
    expectFields(CZolTime(jump), {2024, 3, 31, 1, 0, 0, 1});
}

TEST(Time, LocalTmIntoCallersOrSharedStorage) {
    ZoneGuard zone("UTC");
    tm mine{};
    CZolTime t(86400 * 2 + 3600);
    EXPECT_EQ(t.GetLocalTm(&mine), &mine);
    EXPECT_EQ(mine.tm_mday, 3);
    EXPECT_EQ(mine.tm_hour, 1);
    tm* shared = t.GetLocalTm(nullptr);
    ASSERT_NE(shared, nullptr);
    time_t other = 0;
    EXPECT_EQ(localtime(&other), shared) << "localtime's own storage";

    // A year beyond an int cannot be converted: null, the caller's tm untouched, -1 fields.
    CZolTime far(0x7FFFFFFFFFFFFFFFL);
    mine.tm_year = 1234;
    EXPECT_EQ(far.GetLocalTm(&mine), nullptr);
    EXPECT_EQ(mine.tm_year, 1234);
    EXPECT_EQ(far.GetLocalTm(nullptr), nullptr);
    EXPECT_EQ(far.GetYear(), -1);
    EXPECT_EQ(far.GetDayOfWeek(), -1);
    EXPECT_STREQ(far.Format("%Y").c_str(), "");
}

TEST(Time, FormatLimitIs255Bytes) {
    ZoneGuard zone("UTC");
    CZolTime t(0);
    EXPECT_STREQ(t.Format("").c_str(), "");
    EXPECT_EQ(std::string(t.Format(std::string(255, 'a').c_str()).c_str()), std::string(255, 'a'));
    EXPECT_STREQ(t.Format(std::string(256, 'a').c_str()).c_str(), "");
    EXPECT_EQ(std::string(t.Format((std::string(251, 'a') + "%Y").c_str()).c_str()),
              std::string(251, 'a') + "1970");
    EXPECT_STREQ(t.Format((std::string(252, 'a') + "%Y").c_str()).c_str(), "")
        << "256 bytes with the NUL: does not fit";
}

TEST(Time, ArithmeticWithSpans) {
    CZolTime a(100), b(40);
    EXPECT_EQ((a - b).GetTotalSeconds(), 60);
    EXPECT_EQ((b - a).GetTotalSeconds(), -60);
    EXPECT_EQ((a + CZolTimeSpan(40)).GetTime(), 140);
    EXPECT_EQ((a - CZolTimeSpan(40)).GetTime(), 60);
    a += CZolTimeSpan(-10);
    EXPECT_EQ(a.GetTime(), 90);
    a -= CZolTimeSpan(90);
    EXPECT_EQ(a.GetTime(), 0);
    EXPECT_EQ(CZolTime(-5) < CZolTime(3), 1);
    EXPECT_EQ(CZolTime(3) >= CZolTime(3), 1);
    EXPECT_EQ(CZolTime(3) != CZolTime(3), 0);
    a = 77L;
    EXPECT_EQ(a.GetTime(), 77);
    EXPECT_EQ(CZolTime().GetTime(), 0);

    CZolTime first = CZolTime::GetCurTime();
    CZolTime second = CZolTime::GetCurTime();
    EXPECT_EQ(first <= second, 1);
    EXPECT_LE(labs(first.GetTime() - static_cast<long>(time(nullptr))), 5);
}

TEST(Time, StreamCarriesTheLow32BitsOnly) {
    ByteStream out;
    out << CZolTime(1000000000) << CZolTime(0x1000000FFL);
    EXPECT_EQ(out.writes, 2);
    EXPECT_EQ(out.written, Bytes({0x00, 0xCA, 0x9A, 0x3B, 0xFF, 0, 0, 0}));
    ByteStream in(out.written);
    CZolTime a(0), b(0x700000000L);
    in >> a >> b;
    EXPECT_EQ(a.GetTime(), 1000000000);
    EXPECT_EQ(b.GetTime(), 0x7000000FFL);
}
