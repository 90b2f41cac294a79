#include "CZolTime.h"

#include <limits.h>
#include <string.h>

namespace {
// The last tm_year the getters and Format accept: the full year (tm_year + 1900) must fit
// an int, and so must the ISO week-based year of strftime's %G, which in the last days of
// December is one more than the year. Beyond it localtime still succeeds, but the year
// would wrap to a large negative number.
constexpr int kLastTmYear = INT_MAX - 1 - 1900;

const tm* convertible(const tm* fields) {
    return fields != nullptr && fields->tm_year <= kLastTmYear ? fields : nullptr;
}
}  // namespace

CZolTime::CZolTime() : m_time(0) {}

CZolTime::CZolTime(long t) : m_time(t) {}

CZolTime::CZolTime(const CZolTime& src) : m_time(src.m_time) {}

CZolTime::~CZolTime() {}

CZolTime& CZolTime::operator=(const CZolTime& src) {
    m_time = src.m_time;
    return *this;
}

CZolTime& CZolTime::operator=(long t) {
    m_time = t;
    return *this;
}

CZolTime CZolTime::GetCurTime() {
    return CZolTime(static_cast<long>(time(nullptr)));
}

long CZolTime::GetTime() const {
    return m_time;
}

tm* CZolTime::GetLocalTm(tm* ptm) const {
    time_t t = static_cast<time_t>(m_time);
    tm* converted = localtime(&t);
    if (ptm == nullptr || converted == nullptr) {
        return converted;
    }
    *ptm = *converted;
    return ptm;
}

int CZolTime::GetYear() const {
    const tm* fields = convertible(GetLocalTm(nullptr));
    return fields != nullptr ? fields->tm_year + 1900 : -1;
}

int CZolTime::GetMonth() const {
    const tm* fields = convertible(GetLocalTm(nullptr));
    return fields != nullptr ? fields->tm_mon + 1 : -1;
}

int CZolTime::GetDay() const {
    const tm* fields = convertible(GetLocalTm(nullptr));
    return fields != nullptr ? fields->tm_mday : -1;
}

int CZolTime::GetHour() const {
    const tm* fields = convertible(GetLocalTm(nullptr));
    return fields != nullptr ? fields->tm_hour : -1;
}

int CZolTime::GetMinute() const {
    const tm* fields = convertible(GetLocalTm(nullptr));
    return fields != nullptr ? fields->tm_min : -1;
}

int CZolTime::GetSecond() const {
    const tm* fields = convertible(GetLocalTm(nullptr));
    return fields != nullptr ? fields->tm_sec : -1;
}

int CZolTime::GetDayOfWeek() const {
    const tm* fields = convertible(GetLocalTm(nullptr));
    return fields != nullptr ? fields->tm_wday + 1 : -1;
}

CZolTimeSpan CZolTime::operator-(CZolTime t) const {
    return CZolTimeSpan(static_cast<long>(static_cast<unsigned long>(m_time) -
                                          static_cast<unsigned long>(t.m_time)));
}

CZolTime CZolTime::operator-(CZolTimeSpan ts) const {
    return CZolTime(static_cast<long>(static_cast<unsigned long>(m_time) -
                                      static_cast<unsigned long>(ts.GetTotalSeconds())));
}

CZolTime CZolTime::operator+(CZolTimeSpan ts) const {
    return CZolTime(static_cast<long>(static_cast<unsigned long>(m_time) +
                                      static_cast<unsigned long>(ts.GetTotalSeconds())));
}

CZolTime& CZolTime::operator+=(CZolTimeSpan ts) {
    m_time = (*this + ts).m_time;
    return *this;
}

CZolTime& CZolTime::operator-=(CZolTimeSpan ts) {
    m_time = (*this - ts).m_time;
    return *this;
}

int CZolTime::operator==(CZolTime t) const {
    return m_time == t.m_time;
}
int CZolTime::operator!=(CZolTime t) const {
    return m_time != t.m_time;
}
int CZolTime::operator<(CZolTime t) const {
    return m_time < t.m_time;
}
int CZolTime::operator>(CZolTime t) const {
    return m_time > t.m_time;
}
int CZolTime::operator<=(CZolTime t) const {
    return m_time <= t.m_time;
}
int CZolTime::operator>=(CZolTime t) const {
    return m_time >= t.m_time;
}

CZolString CZolTime::Format(const char* pszFormat) const {
    tm fields;
    if (convertible(GetLocalTm(&fields)) == nullptr) {
        return CZolString();
    }
    char text[256];
    // strftime returns 0 both for output that does not fit and for empty output; the
    // buffer's content is unspecified then, so it is never used.
    if (strftime(text, sizeof text, pszFormat, &fields) == 0) {
        return CZolString();
    }
    return CZolString(text);
}

CZolStream& operator<<(CZolStream& s, CZolTime t) {
    return s << static_cast<unsigned int>(t.m_time);
}

// As for spans: only the low half travels and the destination keeps its high half.
CZolStream& operator>>(CZolStream& s, CZolTime& t) {
    unsigned int low = static_cast<unsigned int>(t.m_time);
    s >> low;
    unsigned long high = static_cast<unsigned long>(t.m_time) & 0xFFFFFFFF00000000ul;
    t.m_time = static_cast<long>(high | low);
    return s;
}
