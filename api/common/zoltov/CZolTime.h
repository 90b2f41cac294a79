/// @file
/// CZolTime.h - an absolute time at a resolution of one second.
///
/// Holds seconds since 1970-01-01 00:00:00 UTC (the value time() returns). Calendar fields
/// are never stored: every field getter, GetLocalTm and Format convert afresh in the
/// process's local time zone (TZ), so their results follow that setting.
///
/// Yes/no results are 1 and 0.
/// Thread safety: a time has no lock. GetLocalTm(nullptr) and the field getters use the
/// process-wide storage of localtime(), which a conversion on any thread overwrites; use
/// GetLocalTm with your own tm when several threads convert times.
#ifndef ZOLTOV_CZOLTIME_H
#define ZOLTOV_CZOLTIME_H

#include <time.h>

#include "CZolStream.h"
#include "CZolString.h"
#include "CZolTimeSpan.h"
#include "ZolExport.h"

class CZolTime;

/// Writes the low 32 bits of the time as one unsigned int (4 bytes); returns s.
ZOL_API CZolStream& operator<<(CZolStream& s, CZolTime t);
/// Reads one unsigned int into the low 32 bits of t; the high 32 bits keep what t held, so
/// times from 1970 to early 2106 survive when read into a time of that range. An exception
/// from the stream leaves t unchanged. Returns s.
ZOL_API CZolStream& operator>>(CZolStream& s, CZolTime& t);

/// An absolute time at a resolution of one second. The full contract is in the description of
/// CZolTime.h.
class ZOL_API CZolTime {
    long m_time;

public:
    /// The epoch, 0 (a time is never left holding an indeterminate value).
    CZolTime();
    /// The time t.
    CZolTime(long t);
    /// A copy of src.
    CZolTime(const CZolTime& src);
    /// Nothing to release.
    virtual ~CZolTime();
    ///@{
    /// Takes src's time, or t; returns this time.
    CZolTime& operator=(const CZolTime& src);
    CZolTime& operator=(long t);
    ///@}

    /// The current time, time(nullptr).
    static CZolTime GetCurTime();
    /// The seconds since the epoch.
    long GetTime() const;
    /// Converts to local broken-down time with localtime(). With ptm: copies the result into
    /// *ptm and returns ptm, or returns null leaving *ptm untouched when the conversion
    /// fails. With null: returns localtime()'s own process-wide storage (overwritten by the
    /// next conversion anywhere in the process), or null on failure.
    tm* GetLocalTm(tm* ptm) const;
    /// Local calendar fields. Each returns -1 when the time cannot be converted: localtime
    /// fails (a year beyond what tm holds), or the year is above 2147483646 (INT_MAX - 1,
    /// so that it and the ISO week-based year of %G, one more in late December, fit an int).
    /// Under UTC the convertible times run from -67768040609740800 to 67767976201996799;
    /// other zones shift both ends by their offset. -1 is no value of any field except the
    /// year -1 (2 BC): use GetLocalTm to tell that year from a failed conversion.
    /// The full year, e.g. 2024.
    int GetYear() const;
    /// 1 (January) to 12.
    int GetMonth() const;
    /// 1 to 31.
    int GetDay() const;
    /// 0 to 23.
    int GetHour() const;
    /// 0 to 59.
    int GetMinute() const;
    /// 0 to 60 (60 for a leap second).
    int GetSecond() const;
    /// 1 (Sunday) to 7 (Saturday).
    int GetDayOfWeek() const;

    /// The span from t to this time (this minus t). Like all the arithmetic below it wraps
    /// as 64-bit two's complement instead of overflowing: a result beyond the range of long
    /// comes out near the other end of it, never undefined.
    CZolTimeSpan operator-(CZolTime t) const;
    ///@{
    /// This time moved back or forward by ts (wrapping as above).
    CZolTime operator-(CZolTimeSpan ts) const;
    CZolTime operator+(CZolTimeSpan ts) const;
    CZolTime& operator+=(CZolTimeSpan ts);
    CZolTime& operator-=(CZolTimeSpan ts);
    ///@}
    ///@{
    /// Signed comparisons of the second counts: 1 or 0.
    int operator==(CZolTime t) const;
    int operator!=(CZolTime t) const;
    int operator<(CZolTime t) const;
    int operator>(CZolTime t) const;
    int operator<=(CZolTime t) const;
    int operator>=(CZolTime t) const;
    ///@}

    /// The local time expanded by strftime() into 256 bytes. The empty string when the
    /// time cannot be converted (as for the field getters: a time whose year does not fit
    /// gives "" whatever the format, never a wrapped year), when the output with its NUL
    /// does not fit (256 bytes or more), or when the output is empty. pszFormat must not be
    /// null.
    CZolString Format(const char* pszFormat) const;

    friend CZolStream& operator<<(CZolStream& s, CZolTime t);
    friend CZolStream& operator>>(CZolStream& s, CZolTime& t);
};

#endif  // ZOLTOV_CZOLTIME_H
