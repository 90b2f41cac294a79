#include "CZolRWLocker.h"

CZolRWLocker::CZolRWLocker(CZolRWLock& lock, int bWrite) : CZolRWLocker(&lock, bWrite) {}

CZolRWLocker::CZolRWLocker(CZolRWLock* pLock, int bWrite)
    : m_pLock(pLock), m_bWrite(bWrite), m_bReadHeld(0) {
    if (m_pLock == nullptr) {
        return;
    }
    if (m_bWrite) {
        m_pLock->LockWrite();
    } else {
        m_bReadHeld = m_pLock->LockRead();
    }
}

CZolRWLocker::~CZolRWLocker() {
    if (m_pLock == nullptr) {
        return;
    }
    if (m_bWrite) {
        m_pLock->UnlockWrite();
    } else {
        m_pLock->UnlockRead(m_bReadHeld);
    }
}
