#include "CZolLocker.h"

#include "qel.h"

namespace {
constexpr unsigned short kMutex = 1;
constexpr unsigned short kLightMutex = 2;
}  // namespace

// The lock and unlock calls are virtual; the optimiser turns them into a check of the
// object's function followed by the mutex's own code, inlined here, when everything reachable
// from the locker is inlined into it.
#define FLATTEN __attribute__((flatten))

FLATTEN CZolLocker::CZolLocker(CZolMutex& mutex) : CZolLocker(&mutex) {}

FLATTEN CZolLocker::CZolLocker(CZolMutex* pMutex) : m_pMutex(pMutex), m_nMutexType(kMutex) {
    if (pMutex != nullptr) {
        pMutex->Lock(QEL_INFINITE);
    }
}

FLATTEN CZolLocker::CZolLocker(CZolLightMutex& mutex) : CZolLocker(&mutex) {}

FLATTEN CZolLocker::CZolLocker(CZolLightMutex* pMutex)
    : m_pMutex(pMutex), m_nMutexType(kLightMutex) {
    if (pMutex != nullptr) {
        pMutex->Lock(QEL_INFINITE);
    }
}

// Casting to the recorded type lets the optimiser do the same for the unlock.
FLATTEN CZolLocker::~CZolLocker() {
    if (m_pMutex == nullptr) {
        return;
    }
    if (m_nMutexType == kLightMutex) {
        static_cast<CZolLightMutex*>(m_pMutex)->Unlock();
    } else if (m_nMutexType == kMutex) {
        static_cast<CZolMutex*>(m_pMutex)->Unlock();
    }
}
