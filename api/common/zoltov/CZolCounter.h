/// @file
/// CZolCounter.h - a counter that goes back to 0 at a limit and says when it has.
///
/// Thread safety: none; one thread uses a counter at a time.
#ifndef ZOLTOV_CZOLCOUNTER_H
#define ZOLTOV_CZOLCOUNTER_H

#include "ZolExport.h"

/// A counter that goes back to 0 at a limit and says when it has. The full contract is in the
/// description of CZolCounter.h.
class ZOL_API CZolCounter {
    unsigned int m_nCount;
    unsigned int m_nLimit;

public:
    /// Count 0, wrapping at limit. A limit of 0 wraps only when the 32-bit count overflows,
    /// after 2^32 increments.
    CZolCounter(unsigned int limit);
    virtual ~CZolCounter();
    /// Adds 1; when the count then equals the limit it goes back to 0. Returns 1 when the
    /// count is 0 after the step (a cycle has just completed), else 0.
    int operator++();
};

#endif  // ZOLTOV_CZOLCOUNTER_H
