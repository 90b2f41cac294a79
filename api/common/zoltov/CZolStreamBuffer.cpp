#include "CZolStreamBuffer.h"

#include <string.h>

namespace {
constexpr int kWriteMode = 0;
constexpr int kReadMode = 1;

[[noreturn]] void refuse() {
    throw 0;
}

// Moves the unread tail to the front so the whole remaining capacity is one contiguous
// block (the ranges may overlap, hence memmove); returns how many bytes stay unread.
unsigned int moveUnreadToFront(unsigned char* buffer, unsigned char*& pos, unsigned int& length) {
    unsigned int unread = length - static_cast<unsigned int>(pos - buffer);
    if (unread != 0) {
        memmove(buffer, pos, unread);
    }
    pos = buffer;
    length = unread;
    return unread;
}
}  // namespace

CZolStreamBuffer::CZolStreamBuffer(int mode, unsigned int size)
    : m_pBuffer(nullptr), m_pPos(nullptr), m_nBufSize(size), m_nDataLen(0), m_nMode(mode) {
    // capacity + 1 counted in 32 bits is 0 for the largest capacity: rather than a buffer
    // that believes it has 4 GiB of room in a zero-byte block, it gets none at all.
    if (m_nBufSize == 0xFFFFFFFFu) {
        m_nBufSize = 0;
    }
    m_pBuffer = new unsigned char[static_cast<size_t>(m_nBufSize) + 1];
    m_pPos = m_pBuffer;
}

CZolStreamBuffer::~CZolStreamBuffer() {
    delete[] m_pBuffer;
}

int CZolStreamBuffer::Create(const char*) {
    refuse();
}

int CZolStreamBuffer::Open(const char*) {
    refuse();
}

void CZolStreamBuffer::Close() {
    refuse();
}

unsigned int CZolStreamBuffer::Write(unsigned char* buffer, unsigned int count) {
    if (m_nMode != kWriteMode) {
        refuse();
    }
    unsigned int used = static_cast<unsigned int>(m_pPos - m_pBuffer);
    if (m_nBufSize - used < count) {
        refuse();
    }
    if (count != 0) {
        memcpy(m_pPos, buffer, count);
    }
    m_pPos += count;
    m_nDataLen += count;
    return count;
}

unsigned int CZolStreamBuffer::Read(unsigned char* buffer, unsigned int count) {
    if (m_nMode != kReadMode) {
        refuse();
    }
    unsigned int unread = m_nDataLen - static_cast<unsigned int>(m_pPos - m_pBuffer);
    if (unread < count) {
        refuse();
    }
    if (count != 0) {
        memcpy(buffer, m_pPos, count);
    }
    m_pPos += count;
    return count;
}

int CZolStreamBuffer::Flush(CZolStream& target) {
    if (m_nMode != kWriteMode) {
        refuse();
    }
    unsigned int written = static_cast<unsigned int>(m_pPos - m_pBuffer);
    if (target.Write(m_pBuffer, written) != written) {
        return 0;
    }
    m_pPos = m_pBuffer;
    m_nDataLen = 0;
    return 1;
}

// Both Fill operations first move the unread tail to the front.
int CZolStreamBuffer::Fill(CZolStream& source) {
    if (m_nMode != kReadMode) {
        refuse();
    }
    unsigned int unread = moveUnreadToFront(m_pBuffer, m_pPos, m_nDataLen);
    unsigned int room = m_nBufSize - unread;
    unsigned int delivered = source.Read(m_pBuffer + unread, room);
    // A foreign stream that claims more than it was offered must not push m_nDataLen past
    // the capacity, or later Reads would run off the buffer.
    if (delivered > room) {
        delivered = room;
    }
    m_nDataLen = unread + delivered;
    return m_nDataLen != 0 ? 1 : 0;
}

int CZolStreamBuffer::Fill(unsigned char* data, unsigned int count) {
    if (m_nMode != kReadMode) {
        refuse();
    }
    unsigned int unread = moveUnreadToFront(m_pBuffer, m_pPos, m_nDataLen);
    if (count > m_nBufSize - unread) {
        refuse();
    }
    if (count != 0) {
        memcpy(m_pBuffer + unread, data, count);
    }
    m_nDataLen = unread + count;
    return 1;
}

unsigned int CZolStreamBuffer::GetLength() {
    unsigned int consumed = static_cast<unsigned int>(m_pPos - m_pBuffer);
    return m_nMode == kWriteMode ? consumed : m_nDataLen - consumed;
}

unsigned int CZolStreamBuffer::GetSpace() {
    return m_nBufSize - GetLength();
}
