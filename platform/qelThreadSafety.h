// qelThreadSafety.h - what an internal lock guards, said in a form the compiler checks.
//
// clang's -Wthread-safety (on in the clang build) checks these annotations, the ones abseil's
// mutex.h uses, on every build; under another compiler they are empty. libstdc++'s std::mutex
// carries none, so the layer's internal locks are qel::Mutex, and a scope holds one through
// qel::MutexLock:
//
//   qel::Mutex g_mapsLock;                                   // a global, constant-initialised
//   Map* g_maps QEL_GUARDED_BY(g_mapsLock) = nullptr;        // read or written only under it
//   void dropMap(Map* map) QEL_REQUIRES(g_mapsLock);         // its callers must hold it
//   void sweep() QEL_EXCLUDES(g_mapsLock);                   // its callers must not
//
//   { qel::MutexLock hold(g_mapsLock); dropMap(g_maps); }    // held until the scope ends
//
//   qel::MutexLock hold(g_dirLock, std::defer_lock);         // a try: not held yet
//   if (!hold.TryLock()) return;                             // held from here to the scope's end
//
// A lock taken in one function and released in another (fork handlers) is taken with
// Mutex::Lock and Mutex::Unlock in functions annotated QEL_ACQUIRE(lock) and
// QEL_RELEASE(lock). A function the analysis cannot follow (a lock handed over between
// threads) says so with QEL_NO_THREAD_SAFETY_ANALYSIS and a comment on why.
#ifndef ZOLTOV_PLATFORM_QELTHREADSAFETY_H
#define ZOLTOV_PLATFORM_QELTHREADSAFETY_H

#include <mutex>

#if defined(__clang__)
#define QEL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QEL_THREAD_ANNOTATION(x)
#endif

#define QEL_CAPABILITY(x) QEL_THREAD_ANNOTATION(capability(x))
#define QEL_SCOPED_CAPABILITY QEL_THREAD_ANNOTATION(scoped_lockable)
#define QEL_GUARDED_BY(x) QEL_THREAD_ANNOTATION(guarded_by(x))
#define QEL_PT_GUARDED_BY(x) QEL_THREAD_ANNOTATION(pt_guarded_by(x))
#define QEL_ACQUIRED_BEFORE(...) QEL_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define QEL_ACQUIRED_AFTER(...) QEL_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define QEL_REQUIRES(...) QEL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define QEL_EXCLUDES(...) QEL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define QEL_ACQUIRE(...) QEL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define QEL_RELEASE(...) QEL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define QEL_TRY_ACQUIRE(...) QEL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define QEL_RETURN_CAPABILITY(x) QEL_THREAD_ANNOTATION(lock_returned(x))
#define QEL_NO_THREAD_SAFETY_ANALYSIS QEL_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace qel {

// A std::mutex the analysis knows. Constant-initialised, so a global one is usable before any
// constructor runs and from fork handlers.
class QEL_CAPABILITY("mutex") Mutex {
public:
    constexpr Mutex() noexcept = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void Lock() QEL_ACQUIRE() { mutex_.lock(); }
    void Unlock() QEL_RELEASE() { mutex_.unlock(); }
    bool TryLock() QEL_TRY_ACQUIRE(true) { return mutex_.try_lock(); }

private:
    std::mutex mutex_;
};

// Holds a Mutex from its construction (or a successful TryLock) to the end of its scope.
class QEL_SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) QEL_ACQUIRE(mutex) : mutex_(mutex), held_(true) {
        mutex.Lock();
    }
    // Not held yet: TryLock takes it when it is free.
    MutexLock(Mutex& mutex, std::defer_lock_t) QEL_EXCLUDES(mutex) : mutex_(mutex) {}
    ~MutexLock() QEL_RELEASE() {
        if (held_) {
            mutex_.Unlock();
        }
    }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;
    bool TryLock() QEL_TRY_ACQUIRE(true) { return held_ = mutex_.TryLock(); }

private:
    Mutex& mutex_;
    bool held_ = false;
};

}  // namespace qel

#endif  // ZOLTOV_PLATFORM_QELTHREADSAFETY_H
