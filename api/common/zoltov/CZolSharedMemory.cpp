#include "CZolSharedMemory.h"

#include <string.h>

#include <string>

#include "qel.h"

namespace {
// Appended to the segment name to name its mutex; fixed, as other programs meet on it.
constexpr const char kMutexSuffix[] = "CZolSharedMemory";
}  // namespace

CZolSharedMemory::CZolSharedMemory() : m_pMutex(nullptr) {}

CZolSharedMemory::CZolSharedMemory(const char* name, unsigned int size) : m_pMutex(nullptr) {
    // Qualified: a derived class's Open must not run before its own part is built.
    CZolSharedMemory::Open(name, size);
}

CZolSharedMemory::~CZolSharedMemory() {
    CZolSharedMemory::Close();
}

int CZolSharedMemory::Open(const char* name, unsigned int size) {
    if (m_pMutex != nullptr) {
        CZolSharedMemory::Close();
    }
    std::string mutexName = std::string(name) + kMutexSuffix;
    // Created locked, so the segment's count is changed by one process at a time.
    m_pMutex = new CZolMutex(1, mutexName.c_str(), 0);
    int result = CZolShMem::Open(name, size);
    m_pMutex->Unlock();
    return result;
}

void CZolSharedMemory::Close() {
    if (m_pMutex == nullptr) {
        return;
    }
    m_pMutex->Lock(QEL_INFINITE);
    CZolShMem::Close();
    m_pMutex->Unlock();
    delete m_pMutex;
    m_pMutex = nullptr;
}

// The mutex calls are virtual; with everything reachable inlined into the copy, the optimiser
// turns each into a check of the object's function followed by CZolMutex's own code.
__attribute__((flatten)) void* memcpy_shmem(CZolSharedMemory& target, const void* source,
                                            unsigned int count) {
    target.m_pMutex->Lock(QEL_INFINITE);
    memcpy(target.m_pData, source, count);
    target.m_pMutex->Unlock();
    return target.m_pData;
}

__attribute__((flatten)) void* memcpy_shmem(void* target, const CZolSharedMemory& source,
                                            unsigned int count) {
    source.m_pMutex->Lock(QEL_INFINITE);
    memcpy(target, source.m_pData, count);
    source.m_pMutex->Unlock();
    return target;
}
