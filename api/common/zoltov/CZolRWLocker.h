/// @file
/// CZolRWLocker.h - holds a read or a write lock of a CZolRWLock for the lifetime of a scope.
///
/// The lock is not owned and must outlive the locker; a null lock makes the locker do
/// nothing.
///
/// Thread safety: a locker is used by the thread that created it; the CZolRWLock may be
/// shared by any threads.
#ifndef ZOLTOV_CZOLRWLOCKER_H
#define ZOLTOV_CZOLRWLOCKER_H

#include "CZolRWLock.h"
#include "ZolExport.h"

/// Holds a read or a write lock of a CZolRWLock for the lifetime of a scope. The full contract
/// is in the description of CZolRWLocker.h.
class ZOL_API CZolRWLocker {
protected:
    CZolRWLock* m_pLock;  ///< not owned; may be null
    int m_bWrite;         ///< non-zero: a write lock
    int m_bReadHeld;      ///< LockRead's result, for a read lock

public:
    ///@{
    /// Takes the write lock when bWrite is non-zero, else a read lock.
    CZolRWLocker(CZolRWLock& lock, int bWrite);
    CZolRWLocker(CZolRWLock* pLock, int bWrite);
    ///@}
    /// Releases what the constructor took.
    virtual ~CZolRWLocker();
};

#endif  // ZOLTOV_CZOLRWLOCKER_H
