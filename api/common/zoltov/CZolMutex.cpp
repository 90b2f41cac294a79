#include "CZolMutex.h"

#include <stdlib.h>

#include "detail/ZolFatalError.h"
#include "qel.h"

CZolMutex::CZolMutex(int bInitiallyOwn, const char* name, int bOpenExisting)
    : CZolSyncObject(name), m_hMutex(0) {
    if (bOpenExisting) {
        // Opening is allowed to fail quietly: the caller asks whether someone else
        // has created the mutex, and reads the answer from operator long().
        if (name == nullptr || qelOpenMutex(name, &m_hMutex) != QEL_OK) {
            m_hMutex = 0;
        }
        return;
    }
    if (qelCreateUnlockedMutex(name, &m_hMutex) != QEL_OK) {
        reportFatalError();
    }
    if (bInitiallyOwn) {
        Lock(QEL_INFINITE);
    }
}

CZolMutex::~CZolMutex() {
    if (m_hMutex != 0) {
        qelCloseMutex(&m_hMutex);
    }
}

int CZolMutex::Lock(long timeout) {
    return qelLockMutex(m_hMutex, timeout) == QEL_OK ? 1 : 0;
}

int CZolMutex::Unlock() {
    return qelUnlockMutex(m_hMutex) == QEL_OK ? 1 : 0;
}

void CZolMutex::Trace() const {}

CZolMutex::operator long() const {
    return m_hMutex;
}

void CZolMutex::reportFatalError() {
    zolReportFatalError("mutex");
}
