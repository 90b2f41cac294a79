/// @file
/// ZolTrace.h - the free trace and assertion functions.
///
/// Both write to standard output and are exported under their plain C names.
///
/// Thread safety: both may be called from any thread. They hold no lock of their own: each
/// line goes out in one stdio call, so lines of several threads do not mix within a line,
/// but nothing orders them. The tracer object (CZolTracer) offers the same services
/// serialised.
#ifndef ZOLTOV_ZOLTRACE_H
#define ZOLTOV_ZOLTRACE_H

#include "ZolExport.h"

#ifdef __cplusplus
extern "C" {
#endif

/// Formats like printf into a 512-byte line (longer text is cut; the newline always fits),
/// appends a newline, writes the line to standard output as plain text and returns the
/// number of characters written. A text that already ends in a newline gets a second one.
ZOL_API int __ZolTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

/// Writes "\aFAILED ASSERTION EXPRESSION (FILE line LINE)" (the arguments in place of the
/// capitals) and a newline to standard output, then stops the process with SIGFPE (an
/// integer division by zero): no exit handlers run and, under the default disposition, a
/// core image is written.
ZOL_API void __ZolAssert(char* expression, char* file, int line) __attribute__((noreturn));

#ifdef __cplusplus
}
#endif

/// Client form of the assertion: passes the condition's text, file and line on failure.
#define ZOL_ASSERT(condition)   \
    ((condition)                \
         ? static_cast<void>(0) \
         : __ZolAssert(const_cast<char*>(#condition), const_cast<char*>(__FILE__), __LINE__))

#endif  // ZOLTOV_ZOLTRACE_H
