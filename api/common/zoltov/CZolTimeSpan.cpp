#include "CZolTimeSpan.h"

#include <stdio.h>

CZolTimeSpan::CZolTimeSpan() : m_timeSpan(0) {}

CZolTimeSpan::CZolTimeSpan(long lSeconds) : m_timeSpan(lSeconds) {}

// Unsigned arithmetic: a total beyond long wraps instead of being undefined.
CZolTimeSpan::CZolTimeSpan(long lDays, int nHours, int nMins, int nSecs)
    : m_timeSpan(static_cast<long>(
          ((static_cast<unsigned long>(lDays) * 24 + static_cast<unsigned long>(nHours)) * 60 +
           static_cast<unsigned long>(nMins)) *
              60 +
          static_cast<unsigned long>(nSecs))) {}

CZolTimeSpan::CZolTimeSpan(const CZolTimeSpan& src) : m_timeSpan(src.m_timeSpan) {}

CZolTimeSpan& CZolTimeSpan::operator=(const CZolTimeSpan& src) {
    m_timeSpan = src.m_timeSpan;
    return *this;
}

long CZolTimeSpan::GetDays() const {
    return m_timeSpan / 86400;
}

long CZolTimeSpan::GetTotalHours() const {
    return m_timeSpan / 3600;
}

int CZolTimeSpan::GetHours() const {
    return static_cast<int>(GetTotalHours() - 24 * GetDays());
}

long CZolTimeSpan::GetTotalMinutes() const {
    return m_timeSpan / 60;
}

int CZolTimeSpan::GetMinutes() const {
    return static_cast<int>(GetTotalMinutes() - 60 * GetTotalHours());
}

long CZolTimeSpan::GetTotalSeconds() const {
    return m_timeSpan;
}

int CZolTimeSpan::GetSeconds() const {
    return static_cast<int>(GetTotalSeconds() - 60 * GetTotalMinutes());
}

// Sums wrap rather than trap: unsigned arithmetic keeps overflow defined.
CZolTimeSpan CZolTimeSpan::operator+(CZolTimeSpan ts) const {
    return CZolTimeSpan(static_cast<long>(static_cast<unsigned long>(m_timeSpan) +
                                          static_cast<unsigned long>(ts.m_timeSpan)));
}

CZolTimeSpan CZolTimeSpan::operator-(CZolTimeSpan ts) const {
    return CZolTimeSpan(static_cast<long>(static_cast<unsigned long>(m_timeSpan) -
                                          static_cast<unsigned long>(ts.m_timeSpan)));
}

CZolTimeSpan& CZolTimeSpan::operator+=(CZolTimeSpan ts) {
    *this = *this + ts;
    return *this;
}

CZolTimeSpan& CZolTimeSpan::operator-=(CZolTimeSpan ts) {
    *this = *this - ts;
    return *this;
}

int CZolTimeSpan::operator==(CZolTimeSpan ts) const {
    return m_timeSpan == ts.m_timeSpan;
}
int CZolTimeSpan::operator!=(CZolTimeSpan ts) const {
    return m_timeSpan != ts.m_timeSpan;
}
int CZolTimeSpan::operator<(CZolTimeSpan ts) const {
    return m_timeSpan < ts.m_timeSpan;
}
int CZolTimeSpan::operator>(CZolTimeSpan ts) const {
    return m_timeSpan > ts.m_timeSpan;
}
int CZolTimeSpan::operator<=(CZolTimeSpan ts) const {
    return m_timeSpan <= ts.m_timeSpan;
}
int CZolTimeSpan::operator>=(CZolTimeSpan ts) const {
    return m_timeSpan >= ts.m_timeSpan;
}

CZolString CZolTimeSpan::Format(const char* pszFormat) const {
    char result[256];
    size_t length = 0;
    // Appends text, cutting at 255 bytes so the terminator always fits.
    auto append = [&](const char* text, size_t count) {
        for (size_t i = 0; i < count && length < sizeof result - 1; ++i) {
            result[length++] = text[i];
        }
    };
    char number[32];
    for (const char* p = pszFormat; p != nullptr && *p != '\0'; ++p) {
        if (*p != '%') {
            append(p, 1);
            continue;
        }
        ++p;
        if (*p == '\0') {
            break;  // a lone trailing '%' ends the text
        }
        int written = -1;
        switch (*p) {
            case 'D':
                written = snprintf(number, sizeof number, "%ld", GetDays());
                break;
            case 'H':
                written = snprintf(number, sizeof number, "%02d", GetHours());
                break;
            case 'M':
                written = snprintf(number, sizeof number, "%02d", GetMinutes());
                break;
            case 'S':
                written = snprintf(number, sizeof number, "%02d", GetSeconds());
                break;
            default:
                append(p, 1);
                break;
        }
        if (written > 0) {
            append(number, static_cast<size_t>(written));
        }
    }
    result[length] = '\0';
    return CZolString(result);
}

CZolStream& operator<<(CZolStream& s, CZolTimeSpan ts) {
    return s << static_cast<unsigned int>(ts.m_timeSpan);
}

// Only the low half travels; the high half of the destination is kept as it was, which is
// the form existing peers read and write.
CZolStream& operator>>(CZolStream& s, CZolTimeSpan& ts) {
    unsigned int low = static_cast<unsigned int>(ts.m_timeSpan);
    s >> low;
    unsigned long high = static_cast<unsigned long>(ts.m_timeSpan) & 0xFFFFFFFF00000000ul;
    ts.m_timeSpan = static_cast<long>(high | low);
    return s;
}
