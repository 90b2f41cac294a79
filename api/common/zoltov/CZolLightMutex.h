/// @file
/// CZolLightMutex.h - a mutex that serialises the threads of one process.
///
/// Recursive: its owner may lock it again and must unlock it as often. It always waits
/// until it is acquired, whatever timeout is passed. A mutex that cannot be created ends the
/// process (see reportFatalError).
///
/// Thread safety: may be locked and unlocked from any thread of the process (Unlock by its
/// owner); destroy it only when no thread waits for it.
#ifndef ZOLTOV_CZOLLIGHTMUTEX_H
#define ZOLTOV_CZOLLIGHTMUTEX_H

#include "CZolSyncObject.h"
#include "ZolExport.h"

/// A mutex that serialises the threads of one process. The full contract is in the description
/// of CZolLightMutex.h.
class ZOL_API CZolLightMutex : public CZolSyncObject {
protected:
    long m_hMutex;  ///< platform thread-mutex handle

public:
    /// Creates an unnamed in-process mutex; locks it when bInitiallyOwn is non-zero.
    /// Failure to create is fatal (reportFatalError).
    CZolLightMutex(int bInitiallyOwn);
    /// Deletes the platform mutex.
    virtual ~CZolLightMutex();

    /// Ignores timeout and waits until the mutex is owned; 1 when owned, else 0.
    virtual int Lock(long timeout);
    /// Releases one level of ownership; 1 on success, 0 when the caller does not own it.
    virtual int Unlock();
    /// Does nothing.
    virtual void Trace() const;

    /// The platform handle.
    operator long() const;
    /// Reports "Unable to create mutex; possibly not root or insufficient resources"
    /// through the library's event log and ends the process with exit(1). Never returns.
    void reportFatalError() __attribute__((noreturn));
};

#endif  // ZOLTOV_CZOLLIGHTMUTEX_H
