// ZolFormat.h - internal: printf-style formatting into the library's fixed buffers.
#ifndef ZOLTOV_DETAIL_ZOLFORMAT_H
#define ZOLTOV_DETAIL_ZOLFORMAT_H

#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>

// Formats like vsnprintf, cutting what does not fit; after a formatting error the text is
// empty rather than whatever the buffer happened to hold.
template <size_t N>
inline void zolFormatV(char (&buffer)[N], const char* format, va_list args) {
    if (vsnprintf(buffer, N, format, args) < 0) {
        buffer[0] = '\0';
    }
}

#endif  // ZOLTOV_DETAIL_ZOLFORMAT_H
