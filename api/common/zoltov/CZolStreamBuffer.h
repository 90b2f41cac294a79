/// @file
/// CZolStreamBuffer.h - a fixed-capacity memory stream that works in one direction.
///
/// Write mode (0) collects what is written and hands the whole group to another stream in
/// a single Write (Flush(target)). Read mode (1) takes a block from another stream or from
/// memory (Fill) and hands it out through Read. The capacity is fixed at construction; the
/// buffer never grows and allocates only in its constructor.
///
/// Misuse (an operation of the wrong mode, Create/Open/Close) and lack of room or data are
/// reported by throwing an int of value 0, always before anything is copied or moved,
/// except where Fill says otherwise. A buffer constructed with any other mode refuses
/// Write, Read, both Fill and Flush(target).
///
/// A capacity of 0xFFFFFFFF cannot be allocated as capacity + 1 bytes in 32 bits; such a
/// buffer is built with a capacity of 0: it holds nothing, GetSpace() is 0, and any
/// transfer of one byte or more throws 0.
///
/// Thread safety: none. One thread uses a buffer at a time.
#ifndef ZOLTOV_CZOLSTREAMBUFFER_H
#define ZOLTOV_CZOLSTREAMBUFFER_H

#include "CZolStream.h"
#include "ZolExport.h"

/// A fixed-capacity memory stream that works in one direction. The full contract is in the
/// description of CZolStreamBuffer.h.
class ZOL_API CZolStreamBuffer : public CZolStream {
    unsigned char* m_pBuffer;
    unsigned char* m_pPos;
    unsigned int m_nBufSize;
    unsigned int m_nDataLen;
    int m_nMode;

public:
    /// mode 0 writes, 1 reads; size is the capacity in bytes. The buffer starts empty (a
    /// read-mode buffer must be filled before anything can be read). Throws std::bad_alloc
    /// when the memory cannot be allocated.
    CZolStreamBuffer(int mode, unsigned int size);
    /// Releases the buffer.
    ~CZolStreamBuffer() override;
    /// Not supported by a memory buffer: always throws 0.
    int Create(const char* name) override;
    int Open(const char* name) override;
    void Close() override;
    /// Write mode only. Appends count bytes and returns count; throws 0 (changing nothing)
    /// in another mode or when fewer than count bytes of room are left. count 0 returns 0.
    unsigned int Write(unsigned char* buffer, unsigned int count) override;
    /// Read mode only. Delivers the next count bytes and returns count; throws 0 (changing
    /// nothing) in another mode or when fewer than count unread bytes are held.
    unsigned int Read(unsigned char* buffer, unsigned int count) override;
    /// Read mode only (else throws 0). Moves the unread bytes to the front, then makes one
    /// source.Read of all the room left. Returns 1 when an unread byte is then held, else 0.
    /// An exception from the source passes through after the move; the unread bytes are
    /// kept. A source claiming more bytes than asked for is counted as filling the room.
    virtual int Fill(CZolStream& source);
    /// Read mode only (else throws 0). Moves the unread bytes to the front, then appends
    /// the count bytes of data and returns 1. When they do not fit, throws 0 after the move:
    /// the unread bytes stay readable from the front and nothing is appended.
    virtual int Fill(unsigned char* data, unsigned int count);
    /// Write mode only (else throws 0). Hands everything written so far to one
    /// target.Write. When the target takes it all the buffer is emptied and 1 is returned;
    /// otherwise 0 is returned and the buffer is kept, so the same data can be flushed again.
    /// An exception from the target passes through with the buffer kept.
    virtual int Flush(CZolStream& target);
    /// The base's Flush(): does nothing and returns 1.
    using CZolStream::Flush;

    /// Write mode: bytes written and not yet flushed. Other modes: unread bytes.
    unsigned int GetLength();
    /// Capacity minus GetLength(): room for Write, or room a Fill has after compaction.
    unsigned int GetSpace();
};

#endif  // ZOLTOV_CZOLSTREAMBUFFER_H
