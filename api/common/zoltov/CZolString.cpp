#include "CZolString.h"

#include <stdio.h>
#include <string.h>

#include "qel.h"
#include "detail/ZolFormat.h"

namespace {

const char kEmptyText[] = "";

// A new buffer holding the two pieces back to back and a NUL. The pieces are read before
// the caller releases its old buffer, which may contain them.
char* joinPieces(const char* a, size_t aLength, const char* b, size_t bLength) {
    char* buffer = new char[aLength + bLength + 1];
    if (aLength != 0) {
        memcpy(buffer, a, aLength);
    }
    if (bLength != 0) {
        memcpy(buffer + aLength, b, bLength);
    }
    buffer[aLength + bLength] = '\0';
    return buffer;
}

size_t textLength(const char* text) {
    return text == nullptr ? 0 : strlen(text);
}

}  // namespace

CZolString::CZolString() : m_pszData(nullptr) {}

CZolString::CZolString(const char* psz) : m_pszData(nullptr) {
    if (psz != nullptr) {
        m_pszData = joinPieces(psz, strlen(psz), nullptr, 0);
    }
}

CZolString::CZolString(unsigned char* p, int n) : m_pszData(nullptr) {
    if (p != nullptr) {
        m_pszData =
            joinPieces(reinterpret_cast<const char*>(p), static_cast<size_t>(n), nullptr, 0);
    }
}

CZolString::CZolString(const CZolString& src) : m_pszData(nullptr) {
    size_t length = textLength(src.m_pszData);
    if (length != 0) {
        m_pszData = joinPieces(src.m_pszData, length, nullptr, 0);
    }
}

CZolString::~CZolString() {
    delete[] m_pszData;
}

CZolString& CZolString::operator=(const CZolString& src) {
    if (src.IsEmpty()) {
        Empty();
        return *this;
    }
    return operator=(src.m_pszData);
}

CZolString& CZolString::operator=(const char* psz) {
    if (psz == nullptr) {
        Empty();
        return *this;
    }
    char* replacement = joinPieces(psz, strlen(psz), nullptr, 0);
    delete[] m_pszData;
    m_pszData = replacement;
    return *this;
}

void CZolString::Empty() {
    delete[] m_pszData;
    m_pszData = nullptr;
}

int CZolString::GetLength() const {
    return static_cast<int>(textLength(m_pszData));
}

int CZolString::IsEmpty() const {
    return GetLength() == 0 ? 1 : 0;
}

char CZolString::GetAt(int nIndex) const {
    return m_pszData[nIndex];
}

char CZolString::operator[](int nIndex) const {
    return GetAt(nIndex);
}

void CZolString::SetAt(int nIndex, char ch) {
    m_pszData[nIndex] = ch;
}

const char* CZolString::c_str() const {
    return m_pszData != nullptr ? m_pszData : kEmptyText;
}

CZolString::operator const char*() const {
    return c_str();
}

void CZolString::Format(const char* fmt, ...) {
    char buffer[512];
    va_list args;
    va_start(args, fmt);
    zolFormatV(buffer, fmt, args);
    va_end(args);
    operator=(buffer);
}

void CZolString::formatV(const char* fmt, va_list args) {
    char buffer[256];
    zolFormatV(buffer, fmt, args);
    operator=(buffer);
}

CZolString& CZolString::operator+=(const CZolString& s) {
    size_t addLength = textLength(s.m_pszData);
    if (addLength == 0) {
        return *this;
    }
    char* replacement = joinPieces(c_str(), textLength(m_pszData), s.m_pszData, addLength);
    delete[] m_pszData;
    m_pszData = replacement;
    return *this;
}

CZolString& CZolString::operator+=(const char* psz) {
    if (psz == nullptr) {
        return *this;
    }
    char* replacement = joinPieces(c_str(), textLength(m_pszData), psz, strlen(psz));
    delete[] m_pszData;
    m_pszData = replacement;
    return *this;
}

CZolString& CZolString::operator+=(char ch) {
    char* replacement = joinPieces(c_str(), textLength(m_pszData), &ch, 1);
    delete[] m_pszData;
    m_pszData = replacement;
    return *this;
}

void CZolString::InsertAt(int nIndex, char ch) {
    size_t length = textLength(m_pszData);
    if (static_cast<size_t>(nIndex) == length) {
        operator+=(ch);
        return;
    }
    char* replacement = new char[length + 2];
    memcpy(replacement, m_pszData, static_cast<size_t>(nIndex));
    replacement[nIndex] = ch;
    memcpy(replacement + nIndex + 1, m_pszData + nIndex, length - nIndex + 1);
    delete[] m_pszData;
    m_pszData = replacement;
}

CZolString& CZolString::operator<<(char ch) {
    return operator+=(ch);
}

CZolString& CZolString::operator<<(const char* psz) {
    return operator+=(psz);
}

CZolString& CZolString::operator<<(int n) {
    char digits[16];
    snprintf(digits, sizeof digits, "%d", n);
    return operator<<(static_cast<const char*>(digits));
}

CZolString& CZolString::operator<<(long n) {
    char digits[24];
    snprintf(digits, sizeof digits, "%ld", n);
    return operator<<(static_cast<const char*>(digits));
}

void CZolString::MakeUpper() {
    if (m_pszData != nullptr) {
        qelStrupr(m_pszData);
    }
}

int CZolString::Find(char ch, int nStart) const {
    int length = GetLength();
    for (int i = nStart; i < length; ++i) {
        if (m_pszData[i] == ch) {
            return i;
        }
    }
    return -1;
}

int CZolString::ReverseFind(char ch) const {
    for (int i = GetLength() - 1; i >= 0; --i) {
        if (m_pszData[i] == ch) {
            return i;
        }
    }
    return -1;
}

int CZolString::compare(const char* psz) const {
    return strcmp(c_str(), psz);
}

CZolString CZolString::Left(int nCount) {
    if (nCount > GetLength()) {
        return CZolString();
    }
    return CZolString(reinterpret_cast<unsigned char*>(m_pszData), nCount);
}

CZolString CZolString::Right(int nFirst) {
    int length = GetLength();
    if (nFirst > length) {
        return CZolString();
    }
    return CZolString(reinterpret_cast<unsigned char*>(m_pszData) + nFirst, length - nFirst);
}

CZolString CZolString::Mid(int nFirst, int nCount) {
    int length = GetLength();
    if (nFirst >= length) {
        return CZolString();
    }
    int available = length - nFirst;
    return CZolString(reinterpret_cast<unsigned char*>(m_pszData) + nFirst,
                      nCount < available ? nCount : available);
}

CZolString operator+(const CZolString& a, const char* psz) {
    CZolString result(a);
    if (psz != nullptr && *psz != '\0') {
        result += psz;
    }
    return result;
}

CZolString operator+(const CZolString& a, const CZolString& b) {
    CZolString result(a);
    result += b;
    return result;
}

int operator==(const CZolString& a, const CZolString& b) {
    return strcmp(a.c_str(), b.c_str()) == 0 ? 1 : 0;
}

int operator<(const CZolString& a, const CZolString& b) {
    return strcmp(a.c_str(), b.c_str()) < 0 ? 1 : 0;
}
