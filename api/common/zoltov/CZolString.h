/// @file
/// CZolString.h - the library's byte string.
///
/// One owned, NUL-terminated heap buffer and nothing else: no stored length, no spare
/// capacity, no sharing. Every change allocates a buffer of exactly the new length plus one,
/// copies, and releases the old buffer, so a string may be assigned or appended from itself
/// or from a pointer into its own text.
///
/// The empty string has a null buffer; a few operations leave a one-byte buffer holding
/// only the terminator instead. Both forms behave identically. The length is counted on
/// each call (bytes before the first NUL), so a NUL stored inside the text shortens it.
///
/// Cost: each append copies the whole text into a new buffer, so a text built by n
/// single-byte appends copies about n*n/2 bytes (100 KB: 5 GB). Past about 128 KB each new
/// buffer also comes freshly mapped from the system, and the cost per append jumps again.
/// Build long texts in a std::string or char array and assign them once.
///
/// Positions and counts are `int` bytes from 0 and are NOT checked: the bounds stated
/// below are the caller's to keep. Searches return -1 when nothing is found; yes/no
/// results are 1 and 0. A failed allocation throws std::bad_alloc.
///
/// Thread safety: none. Distinct objects are independent; one object must not be changed
/// on one thread while another thread uses it.
#ifndef ZOLTOV_CZOLSTRING_H
#define ZOLTOV_CZOLSTRING_H

#include <stdarg.h>

#include "ZolExport.h"

/// The library's byte string. The full contract is in the description of CZolString.h.
class ZOL_API CZolString {
    char* m_pszData;

public:
    /// The empty string (null buffer).
    CZolString();
    /// A copy of psz up to its NUL; null gives the empty string.
    CZolString(const char* psz);
    /// Exactly n bytes from p (NULs included) followed by a NUL; null p gives the empty
    /// string. n >= 0 and p must have n readable bytes.
    CZolString(unsigned char* p, int n);
    /// A deep copy; a source of length 0 gives the null-buffer form.
    CZolString(const CZolString& src);
    virtual ~CZolString();

    /// An empty source releases the buffer, as Empty() does.
    CZolString& operator=(const CZolString& src);
    /// Null releases the buffer; an empty text leaves a terminator-only buffer.
    CZolString& operator=(const char* psz);
    /// Releases the buffer.
    void Empty();

    /// Bytes before the first NUL; 0 for a null buffer.
    int GetLength() const;
    /// 1 when GetLength() is 0, else 0.
    int IsEmpty() const;
    /// The byte at nIndex; 0 <= nIndex < GetLength() (unchecked).
    char GetAt(int nIndex) const;
    /// Same as GetAt(nIndex).
    char operator[](int nIndex) const;
    /// Stores ch in place (no reallocation); same bound as GetAt. A NUL shortens the text.
    void SetAt(int nIndex, char ch);
    /// The text; a shared constant "" for a null buffer. Never null.
    const char* c_str() const;
    /// Same as c_str(): never null.
    operator const char*() const;

    /// Replaces the text with printf-style output, silently cut to 511 bytes (the text
    /// vsnprintf writes into 512 bytes; empty after a formatting error, or when the whole
    /// output would exceed INT_MAX bytes). The work is bounded by the buffer: a field width
    /// or precision up to 2^31-1, written out or passed through '*', costs no more than one
    /// that just fills it (positional "%n$" formats and %n are left to vsnprintf as they
    /// are, and a %s argument is still measured to its end).
    void Format(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    /// As Format for an argument list, cut to 255 bytes.
    void formatV(const char* fmt, va_list args);

    /// Appends s; appending an empty s changes nothing. s may be this string.
    CZolString& operator+=(const CZolString& s);
    /// Appends psz; null changes nothing, "" reallocates the same text.
    CZolString& operator+=(const char* psz);
    /// Appends one byte.
    CZolString& operator+=(char ch);
    /// Inserts ch before nIndex; 0 <= nIndex <= GetLength() (unchecked).
    void InsertAt(int nIndex, char ch);
    ///@{
    /// Appends ch or psz as operator+= does; returns this string.
    CZolString& operator<<(char ch);
    CZolString& operator<<(const char* psz);
    ///@}
    /// Appends n in decimal as "%d" writes it.
    CZolString& operator<<(int n);
    /// Appends the full 64-bit n in decimal as "%ld" writes it.
    CZolString& operator<<(long n);

    /// Upper-cases the text in place (byte by byte, current locale); no-op when empty.
    void MakeUpper();

    /// First i with nStart <= i < GetLength() whose byte is ch, else -1. nStart >= 0.
    /// A NUL ch is never found.
    int Find(char ch, int nStart = 0) const;
    /// Last position whose byte is ch, else -1.
    int ReverseFind(char ch) const;
    /// strcmp of the text against psz (psz must not be null): `<0, 0 or >0`.
    int compare(const char* psz) const;

    /// The first nCount bytes; the EMPTY string when nCount > GetLength().
    CZolString Left(int nCount);
    /// The text WITHOUT its first nFirst bytes ("abcdef".Right(2) is "cdef"); empty when
    /// nFirst > GetLength(). Left(n) + Right(n) is always the whole text.
    CZolString Right(int nFirst);
    /// Up to nCount bytes from nFirst; empty when nFirst >= GetLength().
    CZolString Mid(int nFirst, int nCount);
};

///@{
/// A copy of a with psz appended (null or "" gives a copy of a).
ZOL_API CZolString operator+(const CZolString& a, const char* psz);
ZOL_API CZolString operator+(const CZolString& a, const CZolString& b);
///@}
/// Byte-for-byte equality of the c_str() texts: 1 or 0.
ZOL_API int operator==(const CZolString& a, const CZolString& b);
/// 1 when a sorts before b as strcmp orders them (unsigned bytes, prefix first).
ZOL_API int operator<(const CZolString& a, const CZolString& b);

#endif  // ZOLTOV_CZOLSTRING_H
