/// @file
/// CZolStream.h - the library's abstract byte stream.
///
/// A stream moves raw blocks of bytes (Write, Read) and may stand for a named resource
/// (Create, Open, Close). The member operators put an int, an unsigned int or a bool into
/// the stream, or take one out, as the machine's own bytes: 4 bytes least significant first
/// for int and unsigned int, 1 byte (0 or 1) for bool, back to back with no tag, length or
/// padding and no byte-order conversion. Every serialisable class of the library goes
/// through these operators.
///
/// Thread safety: none. One thread uses a stream at a time.
#ifndef ZOLTOV_CZOLSTREAM_H
#define ZOLTOV_CZOLSTREAM_H

#include "ZolExport.h"

/// The library's abstract byte stream. The full contract is in the description of CZolStream.h.
class ZOL_API CZolStream {
public:
    /// Does nothing.
    virtual ~CZolStream();
    /// Creates the stream's named resource: 1 on success, 0 on failure.
    virtual int Create(const char* name) = 0;
    /// Opens an existing named resource: 1 on success, 0 on failure.
    virtual int Open(const char* name) = 0;
    /// Releases the stream's resource.
    virtual void Close() = 0;
    /// Copies count bytes from buffer into the stream; returns the number of bytes taken.
    virtual unsigned int Write(unsigned char* buffer, unsigned int count) = 0;
    /// Copies count bytes from the stream into buffer; returns the number of bytes delivered.
    virtual unsigned int Read(unsigned char* buffer, unsigned int count) = 0;
    /// Does nothing and returns 1; streams with a position override it to rewind.
    virtual int Flush();

    /// Each operator makes exactly one Write or Read call, ignores the count it returns and
    /// returns this stream. An exception thrown by Write or Read passes through unchanged;
    /// a short count from a stream that does not throw is not reported.
    ///
    /// Writes the 4 bytes of value.
    CZolStream& operator<<(int value);
    /// Reads 4 bytes directly into value.
    CZolStream& operator>>(int& value);
    /// Writes the 4 bytes of value.
    CZolStream& operator<<(unsigned int value);
    /// Reads 4 bytes directly into value.
    CZolStream& operator>>(unsigned int& value);
    /// Writes 1 byte: 0 for false, 1 for true.
    CZolStream& operator<<(bool value);
    /// Reads 1 byte directly into value; the byte must be 0 or 1.
    CZolStream& operator>>(bool& value);
};

#endif  // ZOLTOV_CZOLSTREAM_H
