#include "CZolLocker.h"

#include "qel.h"

namespace {
constexpr unsigned short kMutex = 1;
constexpr unsigned short kLightMutex = 2;
}  // namespace

CZolLocker::CZolLocker(CZolMutex& mutex) : CZolLocker(&mutex) {}

CZolLocker::CZolLocker(CZolMutex* pMutex) : m_pMutex(pMutex), m_nMutexType(kMutex) {
    if (pMutex != nullptr) {
        pMutex->Lock(QEL_INFINITE);
    }
}

CZolLocker::CZolLocker(CZolLightMutex& mutex) : CZolLocker(&mutex) {}

CZolLocker::CZolLocker(CZolLightMutex* pMutex) : m_pMutex(pMutex), m_nMutexType(kLightMutex) {
    if (pMutex != nullptr) {
        pMutex->Lock(QEL_INFINITE);
    }
}

CZolLocker::~CZolLocker() {
    if ((m_nMutexType == kMutex || m_nMutexType == kLightMutex) && m_pMutex != nullptr) {
        m_pMutex->Unlock();
    }
}
