/// @file
/// CZolSyncObject.h - abstract base of everything that can be locked and unlocked:
/// CZolMutex, CZolLightMutex and CZolEvent. CZolSingleLock works on any of them.
///
/// Thread safety: the name is fixed at construction; Lock and Unlock of the derived
/// classes may be called from any thread.
#ifndef ZOLTOV_CZOLSYNCOBJECT_H
#define ZOLTOV_CZOLSYNCOBJECT_H

#include "CZolString.h"
#include "ZolExport.h"

/// The timeout that waits for ever (0xFFFFFFFF milliseconds), for Lock and the wait functions.
/// A constant of the header: nothing is exported for it.
constexpr long kZolInfinite = 0xFFFFFFFFL;

/// Abstract base of everything that can be locked and unlocked. The full contract is in the
/// description of CZolSyncObject.h.
class ZOL_API CZolSyncObject {
protected:
    CZolString m_strName;  ///< the name given at construction; empty when none

public:
    /// Stores a copy of name; null stores the empty string.
    CZolSyncObject(const char* name);
    virtual ~CZolSyncObject();

    /// Acquires the object, waiting at most timeout milliseconds (kZolInfinite: for ever).
    /// Returns 1 when acquired, 0 otherwise.
    virtual int Lock(long timeout) = 0;
    /// Releases the object. The base does nothing and returns 0.
    virtual int Unlock();
    /// Writes a description for debugging; the library's classes write nothing.
    virtual void Trace() const = 0;
};

#endif  // ZOLTOV_CZOLSYNCOBJECT_H
