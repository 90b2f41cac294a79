#include "CZolLightMutex.h"

#include <stdlib.h>

#include "detail/ZolFatalError.h"
#include "qel.h"

CZolLightMutex::CZolLightMutex(int bInitiallyOwn) : CZolSyncObject(nullptr), m_hMutex(0) {
    if (qelCreateUnlockedThreadMutex(nullptr, &m_hMutex) != QEL_OK) {
        reportFatalError();
    }
    if (bInitiallyOwn) {
        Lock(QEL_INFINITE);
    }
}

CZolLightMutex::~CZolLightMutex() {
    if (m_hMutex != 0) {
        qelDeleteThreadMutex(&m_hMutex);
    }
}

int CZolLightMutex::Lock(long) {
    return qelLockThreadMutex(m_hMutex, QEL_INFINITE) == QEL_OK ? 1 : 0;
}

int CZolLightMutex::Unlock() {
    return qelUnlockThreadMutex(m_hMutex) == QEL_OK ? 1 : 0;
}

void CZolLightMutex::Trace() const {}

CZolLightMutex::operator long() const {
    return m_hMutex;
}

void CZolLightMutex::reportFatalError() {
    zolReportFatalError("mutex");
}
