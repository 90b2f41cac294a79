/// @file
/// CZolMutex.h - a mutex that the platform can share between processes, optionally named.
///
/// Processes that construct CZolMutex objects with one name serialise on one mutex. The
/// mutex is recursive: its owner may lock it again and must unlock it as often. The object
/// keeps no state besides the handle; it may be locked and unlocked from any thread.
/// A named mutex lives while a live process holds it (a forked child holds its parent's
/// copies); a mutex whose owner died holding it passes to its next locker. A mutex that
/// cannot be created ends the process (see reportFatalError).
#ifndef ZOLTOV_CZOLMUTEX_H
#define ZOLTOV_CZOLMUTEX_H

#include "CZolSyncObject.h"
#include "ZolExport.h"

/// A mutex that the platform can share between processes, optionally named. The full contract
/// is in the description of CZolMutex.h.
class ZOL_API CZolMutex : public CZolSyncObject {
protected:
    long m_hMutex;  ///< platform mutex handle; 0 when none

public:
    /// bOpenExisting non-zero: opens the existing mutex called name; when there is none
    ///   (or name is null) the handle stays 0, nothing is reported, and Lock and Unlock
    ///   return 0. bInitiallyOwn is ignored on this path.
    /// bOpenExisting 0: creates an unlocked mutex (name null: unnamed, private to this
    ///   object; a name in use: that same mutex), then locks it without time limit when
    ///   bInitiallyOwn is non-zero. Failure to create is fatal (reportFatalError).
    CZolMutex(int bInitiallyOwn, const char* name, int bOpenExisting);
    /// Closes the handle when there is one. Does not unlock a mutex this thread still owns.
    virtual ~CZolMutex();

    /// Waits at most timeout milliseconds (passed to the platform unchanged; 0 tries
    /// without blocking, 0xFFFFFFFF waits for ever). 1 when owned, else 0. A mutex whose
    /// owner died while holding it is handed over as owned. A lock that blocks on a named
    /// mutex is listed by `zoltov locks` while it waits; with ZOLTOV_DEADLOCK=fail in the
    /// environment, one that would close a cycle of waits returns 0 at once (docs/locks.md).
    virtual int Lock(long timeout);
    /// Releases one level of ownership; 1 on success, 0 (nothing changes) when the caller
    /// does not own it or there is no handle.
    virtual int Unlock();
    /// Does nothing.
    virtual void Trace() const;

    /// The platform handle; 0 after a failed open.
    operator long() const;
    /// Reports "Unable to create mutex; possibly not root or insufficient resources"
    /// through the library's event log and ends the process with exit(1). Never returns.
    void reportFatalError() __attribute__((noreturn));
};

#endif  // ZOLTOV_CZOLMUTEX_H
