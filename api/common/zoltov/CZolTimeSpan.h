/// @file
/// CZolTimeSpan.h - a signed interval of whole seconds.
///
/// A plain value type: one signed 64-bit count of seconds, no virtual functions, no
/// resources. Negative intervals are allowed. Every split into days, hours, minutes and
/// seconds is a signed division truncating toward zero, so each part of a negative
/// interval is zero or negative (-90061 s is -1 day, -1 h, -1 min, -1 s).
///
/// Yes/no results are 1 and 0. Thread safety: none needed; a span has no shared state.
#ifndef ZOLTOV_CZOLTIMESPAN_H
#define ZOLTOV_CZOLTIMESPAN_H

#include "CZolStream.h"
#include "CZolString.h"
#include "ZolExport.h"

class CZolTimeSpan;

/// Writes the low 32 bits of the span as one unsigned int (4 bytes); returns s. Spans
/// outside 0..4294967295 s do not survive the stream.
ZOL_API CZolStream& operator<<(CZolStream& s, CZolTimeSpan ts);
/// Reads one unsigned int into the low 32 bits of ts; the high 32 bits keep what ts held,
/// so read into a span holding 0..4294967295 s. An exception from the stream leaves ts
/// unchanged. Returns s.
ZOL_API CZolStream& operator>>(CZolStream& s, CZolTimeSpan& ts);

/// A signed interval of whole seconds. The full contract is in the description of
/// CZolTimeSpan.h.
class ZOL_API CZolTimeSpan {
    long m_timeSpan;

public:
    /// A zero interval (a span is never left holding an indeterminate value).
    CZolTimeSpan();
    /// lSeconds seconds.
    CZolTimeSpan(long lSeconds);
    /// ((lDays * 24 + nHours) * 60 + nMins) * 60 + nSecs seconds in signed 64-bit
    /// arithmetic; the parts are neither checked nor normalised (25 h is 1 day 1 h). A
    /// total beyond the range of long wraps as 64-bit two's complement.
    CZolTimeSpan(long lDays, int nHours, int nMins, int nSecs);
    /// A copy of src.
    CZolTimeSpan(const CZolTimeSpan& src);
    /// Takes src's length; returns this span.
    CZolTimeSpan& operator=(const CZolTimeSpan& src);

    /// Seconds / 86400.
    long GetDays() const;
    /// Seconds / 3600.
    long GetTotalHours() const;
    /// GetTotalHours() - 24 * GetDays(): -23..23.
    int GetHours() const;
    /// Seconds / 60.
    long GetTotalMinutes() const;
    /// GetTotalMinutes() - 60 * GetTotalHours(): -59..59.
    int GetMinutes() const;
    /// The seconds.
    long GetTotalSeconds() const;
    /// GetTotalSeconds() - 60 * GetTotalMinutes(): -59..59.
    int GetSeconds() const;

    ///@{
    /// Sum and difference of the two intervals (wrapping as 64-bit two's complement).
    CZolTimeSpan operator+(CZolTimeSpan ts) const;
    CZolTimeSpan operator-(CZolTimeSpan ts) const;
    CZolTimeSpan& operator+=(CZolTimeSpan ts);
    CZolTimeSpan& operator-=(CZolTimeSpan ts);
    ///@}
    ///@{
    /// Signed comparisons of the second counts: 1 or 0.
    int operator==(CZolTimeSpan ts) const;
    int operator!=(CZolTimeSpan ts) const;
    int operator<(CZolTimeSpan ts) const;
    int operator>(CZolTimeSpan ts) const;
    int operator<=(CZolTimeSpan ts) const;
    int operator>=(CZolTimeSpan ts) const;
    ///@}

    /// Writes the interval by pszFormat: '%D' GetDays() as "%ld", '%H' GetHours(), '%M'
    /// GetMinutes() and '%S' GetSeconds() as "%02d" (a negative part keeps its sign: -1 is
    /// "-1"); '%' before any other byte writes that byte ("%%" is '%', "%d" is 'd'); a
    /// trailing lone '%' ends the text. Other bytes are copied. The result holds at most
    /// 255 bytes: longer output is cut there silently. Null or "" gives the empty string.
    CZolString Format(const char* pszFormat) const;

    friend CZolStream& operator<<(CZolStream& s, CZolTimeSpan ts);
    friend CZolStream& operator>>(CZolStream& s, CZolTimeSpan& ts);
};

#endif  // ZOLTOV_CZOLTIMESPAN_H
