/// @file
/// CZolRWLock.h - admits many readers at once or one writer alone.
///
/// While no writer is active or waiting, readers enter without touching the mutex: they
/// only count themselves. While a writer is active or waiting, new readers queue on the
/// writer mutex and hold it for their whole read, so they are let in one at a time; the
/// writer, once it holds the mutex, waits until the readers inside have left. Writers
/// exclude one another through the mutex. Neither reads nor writes are recursive, and a
/// reader must not ask for the write lock.
///
/// Limits and misuse: the reader count is 16 bits. 65534 readers enter without the mutex;
/// beyond that, further readers queue on the mutex and enter one at a time as readers leave,
/// so the count never wraps and a writer never gets in among readers. An UnlockRead while no
/// reader is inside is refused (nothing changes, the mutex is not touched) and the lock stays
/// usable; one made while other readers are inside cannot be told apart and ends one of
/// their reads early. An UnlockWrite from a thread that is not the writer (it does not hold
/// the writer mutex, or no write is in progress) is refused likewise: the writer keeps the
/// lock and readers stay out.
///
/// Any thread may take and release the lock; a read or write must be released by the
/// thread that took it when the lock goes through the mutex (LockRead returned 1, writes).
#ifndef ZOLTOV_CZOLRWLOCK_H
#define ZOLTOV_CZOLRWLOCK_H

#include "CZolEvent.h"
#include "CZolMutex.h"
#include "ZolExport.h"

/// Admits many readers at once or one writer alone. The full contract is in the description of
/// CZolRWLock.h.
class ZOL_API CZolRWLock {
protected:
    int m_bOwnsMutex;                  ///< non-zero: m_pMutex was created here and is deleted here
    CZolMutex* m_pMutex;               ///< writer mutex; null makes every operation do nothing
    CZolEvent m_evNoReaders;           ///< auto reset: the last reader left while a writer waited
    unsigned short m_nReaders;         ///< readers inside, with or without the mutex
    unsigned short m_bWriting;         ///< 1 while a writer holds the lock
    unsigned short m_nWaitingWriters;  ///< writers that have not yet seen the readers leave

public:
    /// Creates its own unnamed mutex, deleted with the lock.
    CZolRWLock();
    ///@{
    /// Uses the given mutex (not owned; it must outlive the lock). A null pointer gives a
    /// lock whose operations do nothing.
    CZolRWLock(CZolMutex& mutex);
    CZolRWLock(CZolMutex* pMutex);
    ///@}
    /// Deletes the mutex when the lock created it. No one may hold the lock.
    virtual ~CZolRWLock();
    /// Not copyable: two locks would delete one mutex.
    CZolRWLock(const CZolRWLock&) = delete;
    CZolRWLock& operator=(const CZolRWLock&) = delete;

    /// Begins a read. Returns 1 when the reader holds the writer mutex (a writer was active
    /// or waiting), 0 when it entered without it or the lock has no mutex. Pass the result
    /// to UnlockRead.
    int LockRead();
    /// Ends a read; bHeldMutex is LockRead's result. Refused (no effect) when no reader is in.
    void UnlockRead(int bHeldMutex);
    /// Begins a write: returns once no other writer and no reader is inside.
    void LockWrite();
    /// Ends a write. Refused (no effect) when the calling thread is not the writer.
    void UnlockWrite();
};

#endif  // ZOLTOV_CZOLRWLOCK_H
