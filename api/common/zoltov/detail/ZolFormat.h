// ZolFormat.h - internal: printf-style formatting into the library's fixed buffers.
#ifndef ZOLTOV_DETAIL_ZOLFORMAT_H
#define ZOLTOV_DETAIL_ZOLFORMAT_H

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>

// Formats like vsnprintf into size bytes, cutting what does not fit; after a formatting
// error the text is empty rather than whatever the buffer happened to hold. The text is
// the one vsnprintf gives, but a field width or precision far beyond the buffer (up to
// 2^31-1, written out or passed through '*') costs no more than one that just fills it:
// vsnprintf itself would produce every padding byte before throwing it away.
void zolFormatBounded(char* buffer, size_t size, const char* format, va_list args);

template <size_t N>
inline void zolFormatV(char (&buffer)[N], const char* format, va_list args) {
    zolFormatBounded(buffer, N, format, args);
}

#endif  // ZOLTOV_DETAIL_ZOLFORMAT_H
