// ZolDivideByZero.h - internal: how the assertions stop the process.
#ifndef ZOLTOV_DETAIL_ZOLDIVIDEBYZERO_H
#define ZOLTOV_DETAIL_ZOLDIVIDEBYZERO_H

#include <stdlib.h>

// Divides the zero-valued static by itself. The hardware raises SIGFPE, which under its
// default disposition ends the process with a core image, without running exit handlers.
// The volatile access keeps the compiler from folding or dropping the division, and the
// sanitizer check is off here because the trap is the intended behaviour. The abort()
// is never reached (a returning handler re-runs the division); it only makes the
// function's noreturn promise true for the compiler.
__attribute__((noreturn, no_sanitize("integer-divide-by-zero"))) inline void zolDivideByZero(
    volatile int& zero) {
    int numerator = zero;
    int denominator = zero;
    zero = numerator / denominator;
    abort();
}

#endif  // ZOLTOV_DETAIL_ZOLDIVIDEBYZERO_H
