#include "CZolRWLock.h"

#include <sched.h>

#include "qel.h"

// The counters are the lock's only shared state outside the mutex, so every access to them
// is atomic and sequentially consistent. A reader publishes itself (m_nReaders) and then
// reads the writer flags; a writer publishes itself (m_nWaitingWriters) and then, under
// the mutex, reads m_nReaders. With both sides store-then-load in one total order, at
// least one of them sees the other: either the reader backs off to the mutex or the writer
// waits for it to leave. This is why LockRead reads the flags a second time.
namespace {
inline unsigned short load(const unsigned short& counter) {
    return __atomic_load_n(&counter, __ATOMIC_SEQ_CST);
}
inline unsigned short increment(unsigned short& counter) {
    return __atomic_add_fetch(&counter, 1, __ATOMIC_SEQ_CST);
}
inline unsigned short decrement(unsigned short& counter) {
    return __atomic_sub_fetch(&counter, 1, __ATOMIC_SEQ_CST);
}

// The reader count is 16 bits wide. Readers on the fast path stop one short of the top, so
// the one reader that holds the mutex always has a slot; a count at its limit sends further
// fast-path readers to the mutex, where they wait their turn. It never wraps to a small
// value that would let a writer in among readers.
constexpr unsigned short kFastReaderLimit = 0xFFFE;
constexpr unsigned short kReaderLimit = 0xFFFF;

// Adds a reader unless the count has reached limit.
bool addReader(unsigned short& counter, unsigned short limit) {
    unsigned short value = load(counter);
    while (value < limit) {
        if (__atomic_compare_exchange_n(&counter, &value, static_cast<unsigned short>(value + 1),
                                        true, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
            return true;
        }
    }
    return false;
}

// Removes a reader unless there is none: a stray UnlockRead is refused, not wrapped.
bool removeReader(unsigned short& counter) {
    unsigned short value = load(counter);
    while (value > 0) {
        if (__atomic_compare_exchange_n(&counter, &value, static_cast<unsigned short>(value - 1),
                                        true, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
            return true;
        }
    }
    return false;
}
}  // namespace

CZolRWLock::CZolRWLock()
    : m_bOwnsMutex(1),
      m_pMutex(nullptr),
      m_evNoReaders(0, 0, nullptr),
      m_nReaders(0),
      m_bWriting(0),
      m_nWaitingWriters(0) {
    m_pMutex = new CZolMutex(0, nullptr, 0);
}

CZolRWLock::CZolRWLock(CZolMutex& mutex) : CZolRWLock(&mutex) {}

CZolRWLock::CZolRWLock(CZolMutex* pMutex)
    : m_bOwnsMutex(0),
      m_pMutex(pMutex),
      m_evNoReaders(0, 0, nullptr),
      m_nReaders(0),
      m_bWriting(0),
      m_nWaitingWriters(0) {}

CZolRWLock::~CZolRWLock() {
    if (m_bOwnsMutex && m_pMutex != nullptr) {
        delete m_pMutex;
    }
}

int CZolRWLock::LockRead() {
    if (m_pMutex == nullptr) {
        return 0;
    }
    if (load(m_bWriting) == 0 && load(m_nWaitingWriters) == 0 &&
        addReader(m_nReaders, kFastReaderLimit)) {
        if (load(m_bWriting) == 0 && load(m_nWaitingWriters) == 0) {
            return 0;  // in without the mutex
        }
        // A writer came in between: step back. If it is already waiting for the readers
        // to leave and we were the last, it needs the signal.
        unsigned short readers = decrement(m_nReaders);
        if (load(m_nWaitingWriters) != 0 && readers == 0) {
            m_evNoReaders.SetEvent();
        }
    }
    m_pMutex->Lock(QEL_INFINITE);
    // Only a thread that already holds the (recursive) mutex can find the count full here.
    while (!addReader(m_nReaders, kReaderLimit)) {
        sched_yield();
    }
    return 1;
}

void CZolRWLock::UnlockRead(int bHeldMutex) {
    if (m_pMutex == nullptr) {
        return;
    }
    if (!removeReader(m_nReaders)) {
        return;  // no reader inside: nothing to end, and the mutex is not touched either
    }
    bool lastBeforeWriter = load(m_nWaitingWriters) != 0 && load(m_nReaders) == 0;
    if (bHeldMutex) {
        m_pMutex->Unlock();
    }
    if (lastBeforeWriter) {
        m_evNoReaders.SetEvent();
    }
}

void CZolRWLock::LockWrite() {
    if (m_pMutex == nullptr) {
        return;
    }
    // Announce the writer before queueing on the mutex, so that readers arriving from now
    // on go to the mutex instead of the fast path.
    increment(m_nWaitingWriters);
    m_pMutex->Lock(QEL_INFINITE);
    __atomic_store_n(&m_bWriting, 1, __ATOMIC_SEQ_CST);
    // The event may be stale (set by readers no writer waited for); testing the count
    // after every wake-up absorbs that.
    while (load(m_nReaders) != 0) {
        m_evNoReaders.Lock(QEL_INFINITE);
    }
    decrement(m_nWaitingWriters);
}

void CZolRWLock::UnlockWrite() {
    if (m_pMutex == nullptr) {
        return;
    }
    // Only the writer may end the write: the thread that owns the mutex while m_bWriting is
    // set (a reader that holds the mutex never sees it set). Clearing the flag for anyone else
    // would let readers in beside the writer, as a stray UnlockRead would without its check.
    if (load(m_bWriting) == 0 || qelOwnsMutex(static_cast<long>(*m_pMutex)) != QEL_OK) {
        return;
    }
    __atomic_store_n(&m_bWriting, 0, __ATOMIC_SEQ_CST);
    m_pMutex->Unlock();
}
