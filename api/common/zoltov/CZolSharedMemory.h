/// @file
/// CZolSharedMemory.h - a named shared-memory segment whose opening, closing and copies are
/// serialised across processes by a named mutex, and the two copy functions that use it.
///
/// The mutex of segment `<name>` is the process-shared CZolMutex `<name>CZolSharedMemory`;
/// every process that uses the name meets on the same mutex. It is recursive and robust: a
/// process that dies while holding it (for instance in the middle of memcpy_shmem) does not
/// block the others; the next locker takes it over. What the dead process was copying is
/// then incomplete; its connection is taken back by the next Open or Close (see CZolShMem).
///
/// Thread safety: one thread uses an object at a time; different objects, in any threads
/// or processes, may use one name concurrently.
#ifndef ZOLTOV_CZOLSHAREDMEMORY_H
#define ZOLTOV_CZOLSHAREDMEMORY_H

#include "CZolMutex.h"
#include "CZolShMem.h"
#include "ZolExport.h"

class CZolSharedMemory;

/// Copies count bytes from source to target's data pointer (the start of the data area, or
/// the stream position of a CZolStreamSharedMemory) while holding target's mutex for that
/// one copy; returns the data pointer. count is not checked against the segment: the caller
/// keeps it within the data area. target must be open.
/// \relatesalso CZolSharedMemory
ZOL_API void* memcpy_shmem(CZolSharedMemory& target, const void* source, unsigned int count);
/// Copies count bytes from source's data pointer to target while holding source's mutex
/// for that one copy; returns target. Same bounds and preconditions as above.
/// \relatesalso CZolSharedMemory
ZOL_API void* memcpy_shmem(void* target, const CZolSharedMemory& source, unsigned int count);

/// A named shared-memory segment whose opening, closing and copies are serialised across
/// processes by a named mutex, and the two copy functions that use it (memcpy_shmem, listed
/// below under Related). The full contract is in the description of CZolSharedMemory.h.
class ZOL_API CZolSharedMemory : public CZolShMem {
protected:
    CZolMutex* m_pMutex;  ///< owned; null before the first Open and after Close

public:
    /// A closed object with no mutex.
    CZolSharedMemory();
    /// A closed object on which Open(name, size) is then called; its result is not kept
    /// (see GetConnectionsCount, or open explicitly to learn it).
    CZolSharedMemory(const char* name, unsigned int size);
    /// Closes the object as Close does.
    ~CZolSharedMemory() override;
    /// Creates (or joins) the mutex `<name>CZolSharedMemory` already locked, opens the
    /// segment name under it as CZolShMem::Open does, unlocks it and returns that result.
    /// The mutex stays with the object even when the result is 0. A mutex that cannot be
    /// created is fatal. An object that is still open, or still holds a mutex, is closed
    /// first.
    int Open(const char* name, unsigned int size) override;
    /// Gives up the connection under the mutex (see CZolShMem::Close), then deletes the
    /// mutex. Does nothing on an object that holds no mutex.
    void Close() override;

    friend void* memcpy_shmem(CZolSharedMemory& target, const void* source, unsigned int count);
    friend void* memcpy_shmem(void* target, const CZolSharedMemory& source, unsigned int count);
};

#endif  // ZOLTOV_CZOLSHAREDMEMORY_H
