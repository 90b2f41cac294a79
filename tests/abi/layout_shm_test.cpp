// The field layout of the shared-memory classes, as compiled client programs see it.
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#include <cstddef>

#include <gtest/gtest.h>

#include "CZolShMem.h"
#include "CZolSharedMemory.h"
#include "CZolStreamSharedMemory.h"

// Protected fields are reached through derived probes that only re-expose them.
namespace {
struct ShMemProbe : CZolShMem {
    using CZolShMem::m_bCreated;
    using CZolShMem::m_bOpen;
    using CZolShMem::m_hShMem;
    using CZolShMem::m_nConnections;
    using CZolShMem::m_pData;
    using CZolShMem::m_pShMem;
    using CZolShMem::m_strName;
};
struct SharedMemoryProbe : CZolSharedMemory {
    using CZolSharedMemory::m_pMutex;
};
}  // namespace

static_assert(sizeof(CZolShMem) == 64, "vptr + 2 ints, handle, 2 pointers, 2 ints + string");
static_assert(offsetof(ShMemProbe, m_bCreated) == 8);
static_assert(offsetof(ShMemProbe, m_hShMem) == 16);
static_assert(offsetof(ShMemProbe, m_pShMem) == 24);
static_assert(offsetof(ShMemProbe, m_pData) == 32);
static_assert(offsetof(ShMemProbe, m_nConnections) == 40);
static_assert(offsetof(ShMemProbe, m_bOpen) == 44);
static_assert(offsetof(ShMemProbe, m_strName) == 48);
static_assert(sizeof(CZolSharedMemory) == 72, "CZolShMem + the mutex pointer");
static_assert(offsetof(SharedMemoryProbe, m_pMutex) == 64);
static_assert(sizeof(CZolStreamSharedMemory) == 80, "stream vptr + CZolSharedMemory");

TEST(LayoutShm, StreamBaseComesFirstAndTheSegmentBaseAfterIt) {
    CZolStreamSharedMemory stream;
    const char* whole = reinterpret_cast<const char*>(&stream);
    EXPECT_EQ(reinterpret_cast<const char*>(static_cast<CZolStream*>(&stream)), whole);
    EXPECT_EQ(reinterpret_cast<const char*>(static_cast<CZolSharedMemory*>(&stream)), whole + 8);
    EXPECT_EQ(stream.GetConnectionsCount(), 0u);
}
