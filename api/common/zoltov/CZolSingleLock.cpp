#include "CZolSingleLock.h"

#include "qel.h"

CZolSingleLock::CZolSingleLock(CZolSyncObject* pObject, int bInitialLock)
    : m_pObject(pObject), m_bAcquired(0) {
    if (bInitialLock) {
        Lock(QEL_INFINITE);
    }
}

CZolSingleLock::~CZolSingleLock() {
    if (IsLocked()) {
        Unlock();
    }
}

int CZolSingleLock::Lock(long timeout) {
    m_bAcquired = m_pObject != nullptr ? m_pObject->Lock(timeout) : 0;
    return m_bAcquired;
}

int CZolSingleLock::Unlock() {
    m_bAcquired = m_pObject != nullptr && m_pObject->Unlock() == 0 ? 1 : 0;
    return m_bAcquired;
}

int CZolSingleLock::IsLocked() const {
    return m_bAcquired;
}
