#include "ZolTrace.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "detail/ZolDivideByZero.h"
#include "detail/ZolFormat.h"

extern "C" int __ZolTrace(const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    zolFormatV(line, format, args);  // a huge width costs no more than the buffer
    va_end(args);
    size_t length = strlen(line);
    // The newline must stay inside the buffer: when the text fills it, it replaces the
    // last kept character.
    if (length > sizeof line - 2) {
        length = sizeof line - 2;
    }
    line[length] = '\n';
    line[length + 1] = '\0';
    // fputs, not printf: the formatted text is never used as a format again.
    int written = fputs(line, stdout) < 0 ? -1 : static_cast<int>(length + 1);
    fflush(stdout);
    return written;
}

namespace {
volatile int s_assertZero = 0;
}

extern "C" void __ZolAssert(char* expression, char* file, int line) {
    printf("\aFAILED ASSERTION %s (%s line %d)\n", expression, file, line);
    fflush(stdout);
    zolDivideByZero(s_assertZero);
}
