#include "CZolThread.h"

#include <cxxabi.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <exception>
#include <typeinfo>

#include "qel.h"

namespace {
constexpr unsigned int kStartSuspended = 1;
}

_ZOL_THREAD_STARTUP::_ZOL_THREAD_STARTUP() {}

_ZOL_THREAD_STARTUP::~_ZOL_THREAD_STARTUP() {}

CZolThread::CZolThread() : m_hThread(0), m_bAutoDelete(1), m_evEnd(0, 1, nullptr), m_bExit(0) {}

CZolThread::~CZolThread() {
    if (m_hThread != 0) {
        qelDeleteThreadHandle(&m_hThread);
    }
}

unsigned int CZolThread::Run() {
    // m_bExit and m_nExitCode are written by whichever thread calls ExitThread: acquire
    // pairs with its release, so the code written before the flag is the code returned.
    while (__atomic_load_n(&m_bExit, __ATOMIC_ACQUIRE) == 0) {
        OnIdle();
    }
    return __atomic_load_n(&m_nExitCode, __ATOMIC_RELAXED);
}

int CZolThread::InitInstance() {
    return 1;
}

int CZolThread::ExitInstance() {
    return 0;
}

void CZolThread::OnIdle() {}

namespace {

// The start-up record with the priority ZolBeginThread asks for. The new thread sets it on
// itself before it lets its creator go on: the priority is in place before ZolBeginThread
// returns and before the object's code runs, without holding the thread back and without
// touching an object that an auto-deleting thread could have deleted meanwhile.
struct PrioritisedStartup {
    _ZOL_THREAD_STARTUP startup;
    int priority;
};

void prioritisedEntry(void* argument);

// CreateThread, and ZolBeginThread's start when priority is given.
int startThread(CZolThread* thread, unsigned int flags, const int* priority) {
    PrioritisedStartup record;
    _ZOL_THREAD_STARTUP& startup = record.startup;
    startup.pThread = thread;
    startup.nFlags = flags;
    startup.bAutoDelete = thread->m_bAutoDelete;
    startup.hEventStarted = 0;
    startup.hEventContinue = 0;
    record.priority = priority != nullptr ? *priority : 0;
    if (qelCreateEvent(nullptr, &startup.hEventStarted) != QEL_OK ||
        qelCreateEvent(nullptr, &startup.hEventContinue) != QEL_OK) {
        // Without both events the handshake cannot work: treat it as a failed start.
        qelDeleteEvent(&startup.hEventStarted);
        qelDeleteEvent(&startup.hEventContinue);
        return 0;
    }
    QEL_THREAD_ENTRY entry = priority != nullptr ? prioritisedEntry : _ZolThreadEntry;
    if (qelBeginThread(entry, &record, &thread->m_hThread) != QEL_OK) {
        qelDeleteEvent(&startup.hEventStarted);
        qelDeleteEvent(&startup.hEventContinue);
        return 0;
    }
    // Nothing to do before the thread goes on: let it go at once, so that it does not sleep
    // on the event. The new thread owns hEventContinue from its set on and deletes it.
    const bool suspended = (flags & kStartSuspended) != 0;
    if (!suspended) {
        qelSetEvent(startup.hEventContinue);
    }
    // The record lives on this stack: wait until the new thread has copied it.
    qelWaitEvent(startup.hEventStarted, QEL_INFINITE);
    qelResetEvent(startup.hEventStarted);
    qelDeleteEvent(&startup.hEventStarted);
    if (suspended) {
        thread->SuspendThread();
        qelSetEvent(startup.hEventContinue);
    }
    return 1;
}

}  // namespace

int CZolThread::CreateThread(unsigned int flags) {
    return startThread(this, flags, nullptr);
}

namespace {

// An exception that leaves a thread's body cannot be handed to anyone: like std::thread, the
// process ends, but with a message that says which thread and which exception.
[[noreturn]] void uncaughtInThread(CZolThread* thread, const char* stage) {
    const char* what = "an exception that is not a std::exception";
    try {
        throw;
    } catch (const std::exception& error) {
        what = error.what();
    } catch (...) {
    }
    int status = 0;
    char* type = abi::__cxa_demangle(typeid(*thread).name(), nullptr, nullptr, &status);
    fprintf(stderr,
            "ZolTov: uncaught exception in %s of thread %ld (%s at %p): %s; ending the process\n",
            stage, static_cast<long>(syscall(SYS_gettid)),
            status == 0 && type != nullptr ? type : typeid(*thread).name(),
            static_cast<void*>(thread), what);
    fflush(stderr);
    free(type);
    abort();
}

// ExitInstance, then the auto-delete: the end of every thread body, however Run left.
// pthread_exit's unwinding carries no exception object, so the sanitizer's null-reference
// check would flag the standard catch (abi::__forced_unwind&) idiom here and below.
__attribute__((no_sanitize("null"))) void finishThread(CZolThread* thread, int autoDelete) {
    try {
        thread->ExitInstance();
    } catch (abi::__forced_unwind&) {
        // pthread_exit inside ExitInstance: still delete the object, then let the unwinding go on.
        if (autoDelete) {
            delete thread;
        }
        throw;
    } catch (...) {
        uncaughtInThread(thread, "ExitInstance");
    }
    if (autoDelete) {
        delete thread;
    }
}

}  // namespace

namespace {

// The body of every started thread; priority, when given, is set first.
__attribute__((no_sanitize("null"))) void runThread(_ZOL_THREAD_STARTUP* startup,
                                                    const int* priority) {
    CZolThread* thread = startup->pThread;
    int autoDelete = startup->bAutoDelete && thread != nullptr;
    long continueEvent = startup->hEventContinue;
    if (priority != nullptr) {
        qelSetOwnThreadPriority(*priority);
    }
    qelSetEvent(startup->hEventStarted);
    // The record may be gone from here on.
    qelWaitEvent(continueEvent, QEL_INFINITE);
    qelResetEvent(continueEvent);
    qelDeleteEvent(&continueEvent);

    unsigned int exitCode = 0;
    try {
        if (thread->InitInstance()) {
            exitCode = thread->Run();
        }
    } catch (abi::__forced_unwind&) {
        // pthread_exit from the body: the thread still ends in order (ExitInstance, then the
        // auto-delete), and the unwinding must go on (swallowing it aborts the process).
        finishThread(thread, autoDelete);
        throw;
    } catch (...) {
        uncaughtInThread(thread, "InitInstance or Run");
    }
    finishThread(thread, autoDelete);
    qelEndThread(exitCode);
}

void prioritisedEntry(void* argument) {
    auto* record = static_cast<PrioritisedStartup*>(argument);
    runThread(&record->startup, &record->priority);
}

}  // namespace

void _ZolThreadEntry(void* argument) {
    runThread(static_cast<_ZOL_THREAD_STARTUP*>(argument), nullptr);
}

int CZolThread::SuspendThread() {
    return qelSuspendThread(m_hThread) == QEL_OK ? 1 : 0;
}

int CZolThread::ResumeThread() {
    return qelResumeThread(m_hThread) == QEL_OK ? 1 : 0;
}

int CZolThread::SetThreadPriority(int priority) {
    return qelSetThreadPriority(m_hThread, priority) == QEL_OK ? 1 : 0;
}

int CZolThread::GetThreadPriority() {
    int priority = 0;
    qelGetThreadPriority(m_hThread, &priority);
    return priority;
}

int CZolThread::EndThread() {
    return m_evEnd.SetEvent();
}

void CZolThread::ExitThread(unsigned int code) {
    __atomic_store_n(&m_nExitCode, code, __ATOMIC_RELAXED);
    __atomic_store_n(&m_bExit, 1, __ATOMIC_RELEASE);
}

CZolThread* ZolBeginThread(CZolThread* pThread, int priority, unsigned int flags) {
    // The new thread sets the priority on itself (after a failed start it is set through
    // whatever m_hThread holds).
    if (startThread(pThread, flags, &priority) == 0) {
        pThread->SetThreadPriority(priority);
    }
    return pThread;
}
