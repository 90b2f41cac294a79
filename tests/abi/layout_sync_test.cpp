// The field layout of the synchronization and thread classes, as compiled client programs
// see it.
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#include <cstddef>

#include <gtest/gtest.h>

#include "CZolEvent.h"
#include "CZolLightMutex.h"
#include "CZolLocker.h"
#include "CZolMutex.h"
#include "CZolRWLock.h"
#include "CZolRWLocker.h"
#include "CZolSingleLock.h"
#include "CZolThread.h"

namespace {
// Protected fields are reached through derived probes with no fields of their own.
struct SyncProbe : CZolMutex {
    static constexpr size_t name() { return offsetof(SyncProbe, m_strName); }
    static constexpr size_t mutex() { return offsetof(SyncProbe, m_hMutex); }
};
struct LightProbe : CZolLightMutex {
    static constexpr size_t mutex() { return offsetof(LightProbe, m_hMutex); }
};
struct EventProbe : CZolEvent {
    static constexpr size_t event() { return offsetof(EventProbe, m_hEvent); }
    static constexpr size_t manual() { return offsetof(EventProbe, m_bManualReset); }
    static constexpr size_t owns() { return offsetof(EventProbe, m_bOwnsHandle); }
};
struct SingleLockProbe : CZolSingleLock {
    static constexpr size_t object() { return offsetof(SingleLockProbe, m_pObject); }
    static constexpr size_t acquired() { return offsetof(SingleLockProbe, m_bAcquired); }
};
struct LockerProbe : CZolLocker {
    static constexpr size_t mutex() { return offsetof(LockerProbe, m_pMutex); }
    static constexpr size_t type() { return offsetof(LockerProbe, m_nMutexType); }
};
struct RWLockProbe : CZolRWLock {
    static constexpr size_t owns() { return offsetof(RWLockProbe, m_bOwnsMutex); }
    static constexpr size_t mutex() { return offsetof(RWLockProbe, m_pMutex); }
    static constexpr size_t event() { return offsetof(RWLockProbe, m_evNoReaders); }
    static constexpr size_t readers() { return offsetof(RWLockProbe, m_nReaders); }
    static constexpr size_t writing() { return offsetof(RWLockProbe, m_bWriting); }
    static constexpr size_t waiting() { return offsetof(RWLockProbe, m_nWaitingWriters); }
};
struct RWLockerProbe : CZolRWLocker {
    static constexpr size_t lock() { return offsetof(RWLockerProbe, m_pLock); }
    static constexpr size_t write() { return offsetof(RWLockerProbe, m_bWrite); }
    static constexpr size_t readHeld() { return offsetof(RWLockerProbe, m_bReadHeld); }
};
}  // namespace

static_assert(sizeof(CZolSyncObject) == 24, "vptr + CZolString");
static_assert(SyncProbe::name() == 8);
static_assert(sizeof(CZolMutex) == 32 && SyncProbe::mutex() == 24);
static_assert(sizeof(CZolLightMutex) == 32 && LightProbe::mutex() == 24);
static_assert(sizeof(CZolEvent) == 40);
static_assert(EventProbe::event() == 24 && EventProbe::manual() == 32 && EventProbe::owns() == 36);
static_assert(sizeof(CZolSingleLock) == 24);
static_assert(SingleLockProbe::object() == 8 && SingleLockProbe::acquired() == 16);
static_assert(sizeof(CZolLocker) == 24 && LockerProbe::mutex() == 8 && LockerProbe::type() == 16);
static_assert(sizeof(CZolRWLock) == 72);
static_assert(RWLockProbe::owns() == 8 && RWLockProbe::mutex() == 16 && RWLockProbe::event() == 24);
static_assert(RWLockProbe::readers() == 64 && RWLockProbe::writing() == 66 &&
              RWLockProbe::waiting() == 68);
static_assert(sizeof(CZolRWLocker) == 24);
static_assert(RWLockerProbe::lock() == 8 && RWLockerProbe::write() == 16 &&
              RWLockerProbe::readHeld() == 20);
static_assert(sizeof(CZolThread) == 72);
static_assert(offsetof(CZolThread, m_hThread) == 8 && offsetof(CZolThread, m_bAutoDelete) == 16);
static_assert(offsetof(CZolThread, m_evEnd) == 24 && offsetof(CZolThread, m_bExit) == 64);
static_assert(offsetof(CZolThread, m_nExitCode) == 68);
static_assert(sizeof(_ZOL_THREAD_STARTUP) == 32);
static_assert(offsetof(_ZOL_THREAD_STARTUP, pThread) == 0);
static_assert(offsetof(_ZOL_THREAD_STARTUP, nFlags) == 8);
static_assert(offsetof(_ZOL_THREAD_STARTUP, bAutoDelete) == 12);
static_assert(offsetof(_ZOL_THREAD_STARTUP, hEventStarted) == 16);
static_assert(offsetof(_ZOL_THREAD_STARTUP, hEventContinue) == 24);

TEST(LayoutSync, EventHandleSitsAfterTheName) {
    CZolEvent wrapper(12345L);
    const long* handle =
        reinterpret_cast<const long*>(reinterpret_cast<const char*>(&wrapper) + 24);
    EXPECT_EQ(*handle, 12345L);
}
