/// @file
/// CZolSingleLock.h - a lock on any CZolSyncObject (mutex, light mutex, event) that
/// releases the object at destruction if it still holds it.
///
/// The object is not owned and must outlive the lock. A null object is never locked:
/// Lock and Unlock then return 0 and the lock stays not locked.
///
/// Thread safety: a lock is used by the thread that holds it (it has no state shared with
/// other threads); the object it locks may be shared by any threads.
#ifndef ZOLTOV_CZOLSINGLELOCK_H
#define ZOLTOV_CZOLSINGLELOCK_H

#include "CZolSyncObject.h"
#include "ZolExport.h"

/// A lock on any CZolSyncObject (mutex, light mutex, event) that releases the object at
/// destruction if it still holds it. The full contract is in the description of
/// CZolSingleLock.h.
class ZOL_API CZolSingleLock {
protected:
    CZolSyncObject* m_pObject;  ///< not owned
    int m_bAcquired;            ///< non-zero while the lock holds the object

public:
    /// Stores the object; locks it without time limit when bInitialLock is non-zero.
    CZolSingleLock(CZolSyncObject* pObject, int bInitialLock);
    /// Calls Unlock() when IsLocked() is non-zero.
    virtual ~CZolSingleLock();

    /// Calls the object's Lock(timeout) (every call reaches the object, held or not) and
    /// records its result: 1 acquired, 0 not.
    int Lock(long timeout);
    /// Calls the object's Unlock() (every call reaches the object). Returns the new state:
    /// 0 after a successful unlock, 1 when the object refused (the lock still counts as
    /// held and the destructor will try again).
    int Unlock();
    /// Non-zero while the lock holds the object.
    int IsLocked() const;
};

#endif  // ZOLTOV_CZOLSINGLELOCK_H
