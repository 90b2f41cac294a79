#include "CZolStreamSharedMemory.h"

namespace {
// Data area of a segment that Open(name) creates.
constexpr unsigned int kDefaultDataSize = 256;
// The data area follows the segment's 4-byte connection count.
constexpr unsigned int kCountSize = 4;
}  // namespace

CZolStreamSharedMemory::CZolStreamSharedMemory() {}

CZolStreamSharedMemory::CZolStreamSharedMemory(const char* name, unsigned int size)
    : CZolSharedMemory(name, size) {}

CZolStreamSharedMemory::~CZolStreamSharedMemory() {
    CZolSharedMemory::Close();
}

int CZolStreamSharedMemory::Create(const char*) {
    return 0;
}

int CZolStreamSharedMemory::Open(const char* name) {
    return CZolSharedMemory::Open(name, kDefaultDataSize);
}

void CZolStreamSharedMemory::Close() {
    CZolSharedMemory::Close();
}

unsigned int CZolStreamSharedMemory::Write(unsigned char* buffer, unsigned int count) {
    memcpy_shmem(*this, buffer, count);
    m_pData += count;
    return count;
}

unsigned int CZolStreamSharedMemory::Read(unsigned char* buffer, unsigned int count) {
    memcpy_shmem(buffer, *this, count);
    m_pData += count;
    return count;
}

int CZolStreamSharedMemory::Flush() {
    // A closed stream has no data area to return to; its position stays null.
    if (m_pShMem != nullptr) {
        m_pData = static_cast<unsigned char*>(m_pShMem) + kCountSize;
    }
    return 1;
}
