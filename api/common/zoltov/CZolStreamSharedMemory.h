/// @file
/// CZolStreamSharedMemory.h - a byte stream over a named shared-memory segment.
///
/// Values put in with the stream operators by one process can be taken out, in the same
/// order, by another process that opened the same name. The stream position is the data
/// pointer of the CZolShMem part: private to each object, starting at the first byte of
/// the data area after Open, advanced by Write and Read, put back by Flush. Nothing else
/// is stored in the segment (no length, no end mark): the data area holds exactly the bytes
/// written, and Read consumes nothing, so any number of objects can read the same bytes.
///
/// Every Write and Read is one memcpy_shmem, holding the segment's mutex for that copy
/// only; a group of values is atomic only when it travels in one Write or Read, e.g. through
/// CZolStreamBuffer::Flush(target) and Fill(source). The stream gives a reader no sign that
/// new data is there: the two sides agree on that by other means.
///
/// Positions are not checked: callers keep the bytes written or read since the last Open or
/// Flush within the data area (256 bytes for a segment created by Open(name)).
///
/// Thread safety: one thread uses an object at a time; the position is not locked.
#ifndef ZOLTOV_CZOLSTREAMSHAREDMEMORY_H
#define ZOLTOV_CZOLSTREAMSHAREDMEMORY_H

#include "CZolSharedMemory.h"
#include "CZolStream.h"
#include "ZolExport.h"

/// A byte stream over a named shared-memory segment. The full contract is in the description of
/// CZolStreamSharedMemory.h.
class ZOL_API CZolStreamSharedMemory : public CZolStream, public CZolSharedMemory {
public:
    /// A closed stream.
    CZolStreamSharedMemory();
    /// Opens the segment name as CZolSharedMemory(name, size) does: a segment created here
    /// has a data area of size bytes. The result is not kept.
    CZolStreamSharedMemory(const char* name, unsigned int size);
    /// Closes the stream as Close does.
    ~CZolStreamSharedMemory() override;
    /// Not supported: returns 0 and does nothing.
    int Create(const char* name) override;
    /// CZolSharedMemory::Open(name, 256): a new segment gets a 256-byte data area, an
    /// existing one keeps its creator's size. 1 on success, 0 when a CZolException was
    /// raised; a refused allocation is fatal. The position is the first data byte.
    int Open(const char* name) override;
    /// CZolSharedMemory::Open(name, size) stays callable on a stream: a segment it creates
    /// gets a data area of size bytes. Not a virtual of its own; the position is the first
    /// data byte.
    using CZolSharedMemory::Open;
    /// CZolSharedMemory::Close(); reached through either base.
    void Close() override;
    /// Copies count bytes to the position under the mutex, advances the position by count
    /// and returns count. The stream must be open.
    unsigned int Write(unsigned char* buffer, unsigned int count) override;
    /// Copies count bytes from the position under the mutex, advances the position by count
    /// and returns count. The bytes stay in the segment. The stream must be open.
    unsigned int Read(unsigned char* buffer, unsigned int count) override;
    /// Puts the position back to the first data byte and returns 1; no lock, no copy.
    int Flush() override;
};

#endif  // ZOLTOV_CZOLSTREAMSHAREDMEMORY_H
