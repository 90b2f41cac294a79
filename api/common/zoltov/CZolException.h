/// @file
/// CZolException.h - the library's exception: an unsigned error code and a message.
///
/// Thrown by value, caught by reference. Only RiseZolTovException throws it inside the
/// library; code 0 means success and is never thrown. How every class reports its errors is
/// summed up in the guide's page "Errors and results" (errors.md).
///
/// Thread safety: an exception object is used by one thread at a time; RiseZolTovException
/// may be called from any thread.
#ifndef ZOLTOV_CZOLEXCEPTION_H
#define ZOLTOV_CZOLEXCEPTION_H

#include "CZolString.h"
#include "ZolExport.h"

/// The library's exception. The full contract is in the description of CZolException.h.
class ZOL_API CZolException {
public:
    CZolString m_strMessage;    ///< empty when constructed with a null message
    unsigned int m_nErrorCode;  ///< the code given to the constructor

    /// Stores the code and a copy of the message (null gives an empty message).
    CZolException(unsigned int code, const char* message);
    virtual ~CZolException();

    /// Returns 0 for code 0. Any other code throws CZolException(code, nullptr); the file
    /// and line are accepted for callers' convenience and not stored.
    static unsigned int RiseZolTovException(unsigned int code, char* file, unsigned int line);
};

#endif  // ZOLTOV_CZOLEXCEPTION_H
