/// @file
/// CZolLocker.h - holds a CZolMutex or CZolLightMutex for the lifetime of a scope.
///
/// Locks without time limit at construction and unlocks at destruction, whether or not
/// the lock succeeded. A null mutex makes both steps do nothing. The mutex is not owned
/// and must outlive the locker.
///
/// Thread safety: a locker is used by the thread that created it (a mutex is released by its
/// owner); the mutex itself may be shared by any threads.
#ifndef ZOLTOV_CZOLLOCKER_H
#define ZOLTOV_CZOLLOCKER_H

#include "CZolLightMutex.h"
#include "CZolMutex.h"
#include "ZolExport.h"

/// Holds a CZolMutex or CZolLightMutex for the lifetime of a scope. The full contract is in the
/// description of CZolLocker.h.
class ZOL_API CZolLocker {
protected:
    CZolSyncObject* m_pMutex;     ///< a CZolMutex or CZolLightMutex by m_nMutexType; not owned
    unsigned short m_nMutexType;  ///< 1: CZolMutex, 2: CZolLightMutex

public:
    ///@{
    /// Locks mutex, waiting without limit, until the destructor unlocks it. The pointer forms
    /// do the same; a null pointer makes construction and destruction do nothing.
    CZolLocker(CZolMutex& mutex);
    CZolLocker(CZolMutex* pMutex);
    CZolLocker(CZolLightMutex& mutex);
    CZolLocker(CZolLightMutex* pMutex);
    ///@}
    /// Unlocks the mutex (the result is not examined).
    virtual ~CZolLocker();
};

#endif  // ZOLTOV_CZOLLOCKER_H
