/// @file
/// CZolShMem.h - a named shared-memory segment with a connection count at its head.
///
/// Every segment starts with a 4-byte unsigned connection count (machine byte order): the
/// number of open CZolShMem objects, in all live processes, that use it. The data area
/// follows it. The first Open of a name allocates the segment (data area of the requested
/// size); later Opens, in any process, attach to it and raise the count; the Close that
/// brings the count to 0 deallocates the segment and removes its key file
/// `/opt/zol/ftok/<name>`.
///
/// The platform layer keeps the count: each Open and Close changes it with one atomic step,
/// under the segment's own lock, and Close reads it to know whether it is the last. Still,
/// the users of a bare CZolShMem should serialise the Opens and Closes of one name across
/// processes (CZolSharedMemory does it with a named mutex), so that each object's
/// GetConnectionsCount and "last Close" agree with the others'. One thread uses an object
/// at a time.
///
/// A process that dies with the segment open (killed, or ending through _exit) has its
/// connection taken back by the next Open or Close of the name in any process; one that
/// ends through exit() gives it back as it exits. So the count is the connections of live
/// processes, and the last live user's Close frees the segment.
///
/// Fork: a child's copy of an open object is not a connection of its own. Its Close (or
/// destructor, at the child's exit) leaves the count as it was; while the child lives, its
/// copy keeps the segment from being freed by its parent's exit (not by a Close of the
/// last connection). A child that needs its own connection opens the name itself.
///
/// Bounds: the segment ends at most 3 bytes before an inaccessible page, so a copy that
/// runs further past the data area's end stops the process that made it (SIGSEGV) and never
/// reaches other memory.
#ifndef ZOLTOV_CZOLSHMEM_H
#define ZOLTOV_CZOLSHMEM_H

#include "CZolString.h"
#include "ZolExport.h"

/// A named shared-memory segment with a connection count at its head. The full contract is in
/// the description of CZolShMem.h.
class ZOL_API CZolShMem {
protected:
    int m_bCreated;               ///< 1 when the last Open allocated the segment
    long m_hShMem;                ///< platform segment handle; 0 while closed
    void* m_pShMem;               ///< first byte of the segment: the connection count
    unsigned char* m_pData;       ///< first byte of the data area, m_pShMem + 4
    unsigned int m_nConnections;  ///< the count as this object saw it at its last Open/Close
    int m_bOpen;                  ///< 1 while open
    CZolString m_strName;         ///< the name given to the last Open

public:
    /// A closed object: no segment, count 0, empty name.
    CZolShMem();
    /// Closes the object as Close does, then releases the name.
    virtual ~CZolShMem();
    /// Attaches to the segment called name, raising its connection count, or, when there is
    /// none, allocates one of size + 4 bytes whose count becomes 1 (m_bCreated then 1); the
    /// data area of a new segment is zero-filled. size plays no part when attaching, and a
    /// size above 0xFFFFFFFB wraps in the 32-bit segment size: callers keep it below.
    /// Returns 1, or 0 when a CZolException was raised on the way (the object stays closed).
    /// A segment the platform refuses to allocate is fatal (reportFatalError). An object
    /// that is still open is closed first, so it never holds two connections.
    virtual int Open(const char* name, unsigned int size);
    /// Gives up this object's connection: detaches while others remain; the last user
    /// deallocates the segment and removes its key file. Does nothing on a closed object.
    /// The name stays until the next Open or destruction.
    virtual void Close();

    /// The connection count as it was after this object's own last Open or Close; it does
    /// not follow the Opens and Closes of other objects.
    unsigned int GetConnectionsCount() const;
    /// Reports "Unable to create shared memory; possibly not root or insufficient
    /// resources" through the library's event log and ends the process with exit(1).
    void reportFatalError() __attribute__((noreturn));
};

#endif  // ZOLTOV_CZOLSHMEM_H
