/// @file
/// CZolThread.h - the base class of a thread object.
///
/// Derive from it, override InitInstance, Run (or only OnIdle) and ExitInstance, and start
/// the thread with CreateThread or ZolBeginThread. The new thread calls InitInstance, then
/// Run when InitInstance returned non-zero, then ExitInstance, and ends with Run's result
/// (0 when Run was skipped) as its exit code. With m_bAutoDelete set (the default) the
/// object is deleted, through its virtual destructor, on its own thread as the thread ends:
/// allocate it with new, and do not touch it from other threads once it may have ended.
///
/// How a body may end:
///   - returning from Run (or InitInstance returning 0): ExitInstance, auto-delete, thread ends;
///   - pthread_exit from InitInstance, Run or ExitInstance: the same, in the same order
///     (ExitInstance is not run twice), the exit code is 0 and nothing is leaked;
///   - an exception leaving InitInstance, Run or ExitInstance: the process ends (abort, as for
///     std::thread) after the message "ZolTov: uncaught exception in STAGE of thread ID (CLASS
///     at ADDRESS): WHAT" on standard error;
///   - exit() from the body: the whole process ends there; exit handlers and static
///     destructors run, ExitInstance and the auto-delete of running threads do not.
///
/// Thread safety: ExitThread and EndThread may be called from any thread. The other
/// operations belong to the thread that owns the object, and the thread itself may call them
/// on its own object: SuspendThread on itself returns after another thread resumed it, also
/// while others suspend it too (counts nest); its own priority calls never deadlock with a
/// concurrent suspension.
///
/// Priorities run from -15 (lowest) to 15 (highest), 0 normal, as per-thread nice values
/// (nice = -priority). A program without CAP_SYS_NICE may only lower a thread: -15..0, and a
/// thread once lowered cannot be raised again, even back to 0, unless RLIMIT_NICE allows it
/// (at least 20 + priority). A refused change returns 0 and leaves the priority as it was.
#ifndef ZOLTOV_CZOLTHREAD_H
#define ZOLTOV_CZOLTHREAD_H

#include "CZolEvent.h"
#include "ZolExport.h"

/// The base class of a thread object. The full contract is in the description of CZolThread.h.
class ZOL_API CZolThread {
public:
    long m_hThread;     ///< platform thread handle; 0 until a thread was started
    int m_bAutoDelete;  ///< 1 after construction; read once by CreateThread
    CZolEvent m_evEnd;  ///< manual reset, not set; EndThread sets it, nothing here waits on it
    int m_bExit;        ///< 0 after construction; ExitThread sets 1 (visible across threads)
    unsigned int m_nExitCode;  ///< set by ExitThread; what the base Run returns

    /// Creates m_evEnd (fatal if it cannot be created); starts no thread.
    CZolThread();
    /// Releases the thread handle if a thread was started. It neither waits for nor stops
    /// the thread: a running thread must not use the object afterwards.
    virtual ~CZolThread();

    /// The thread's body. The base calls OnIdle repeatedly, with no wait in between, until
    /// ExitThread was called (tested before every call), then returns m_nExitCode.
    virtual unsigned int Run();
    /// Runs first on the new thread. The base returns 1; 0 skips Run (exit code 0).
    virtual int InitInstance();
    /// Runs last on the new thread, whatever InitInstance returned. The base does nothing
    /// and returns 0; the result is not used.
    virtual int ExitInstance();
    /// Called by the base Run in its loop. The base does nothing.
    virtual void OnIdle();

    /// Starts the platform thread. Bit 0 of flags (value 1) starts it suspended, before it
    /// runs any of the object's code, until ResumeThread; other bits are ignored. Returns
    /// once the new thread has started (and, for a suspended start, is suspended): 1 if the
    /// thread was started, 0 if not (also when its start-up events could not be created).
    /// Start one thread per object.
    int CreateThread(unsigned int flags);
    /// Suspends the thread (nested: each suspend needs one resume). 1 on success, else 0:
    /// also when the thread keeps the library's suspend signal (a real-time signal) blocked
    /// for about 200 ms, by its signal mask or a sigwait, and nothing is suspended then.
    /// The thread stops inside that signal's handler (installed with SA_RESTART), so a system
    /// call it was blocked in goes on after ResumeThread when the kernel restarts it (read,
    /// write, waitpid, sem_wait, pthread mutex and condition waits, the library's own waits
    /// and locks) but returns early with EINTR when it never restarts such calls: sleeps
    /// (nanosleep, usleep, clock_nanosleep; sleep returns the seconds left), poll, select,
    /// epoll_wait, sigtimedwait, sem_timedwait, socket calls with a time-out and the others
    /// listed in signal(7) and docs/sync.md.
    int SuspendThread();
    /// Undoes one SuspendThread. 1 on success, else 0: also when the thread is not suspended
    /// (a SuspendThread that returned 0 leaves it so).
    int ResumeThread();
    /// Sets the priority, from -15 (lowest) to 15 (highest), 0 being normal (see the top of
    /// this file for what an unprivileged program may do). 1 on success; 0 when out of range,
    /// refused for lack of privilege, or the thread has ended, the priority then unchanged.
    int SetThreadPriority(int priority);
    /// The priority last set, or 0 when the platform reports none.
    int GetThreadPriority();
    /// Sets m_evEnd and returns SetEvent's result. Does not end the thread.
    int EndThread();
    /// Asks the base Run to return code at its next test (after the current OnIdle).
    /// Does not end the thread by itself. Any thread.
    void ExitThread(unsigned int code);
};

/// The start-up record of CreateThread, on the creating thread's stack for the duration of
/// the call: what the new thread copies before the creator may return.
struct ZOL_API _ZOL_THREAD_STARTUP {
    CZolThread* pThread;  ///< the thread object being started
    unsigned int nFlags;  ///< the flags given to CreateThread
    int bAutoDelete;      ///< the object's m_bAutoDelete, read once here
    long hEventStarted;   ///< set by the new thread once it has copied what it needs
    long hEventContinue;  ///< set by the creator to let the new thread go on
    _ZOL_THREAD_STARTUP();
    ~_ZOL_THREAD_STARTUP();
};

/// The entry of threads started by CreateThread; startup is its _ZOL_THREAD_STARTUP.
ZOL_API void _ZolThreadEntry(void* startup);

/// Calls pThread->CreateThread(flags), then pThread->SetThreadPriority(priority) whatever
/// CreateThread returned. The object cannot be gone before the priority is set, even when it
/// deletes itself: the new thread sets the priority on itself before it lets CreateThread
/// return and before any of the object's code runs.
/// Always returns pThread. A refused priority shows in GetThreadPriority(), which keeps the
/// priority the thread had (0 unless set before); to check it on an auto-deleting thread,
/// start it suspended (flags bit 0), compare GetThreadPriority() with what was asked, then
/// ResumeThread(). A thread that did not start leaves m_hThread 0.
ZOL_API CZolThread* ZolBeginThread(CZolThread* pThread, int priority, unsigned int flags);

#endif  // ZOLTOV_CZOLTHREAD_H
