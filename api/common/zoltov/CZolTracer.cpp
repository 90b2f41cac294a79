#include "CZolTracer.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>

#include "CZolLocker.h"
#include "ZolTrace.h"
#include "qel.h"
#include "detail/ZolDivideByZero.h"
#include "detail/ZolLoadOrder.h"
#include "detail/ZolFormat.h"

// First of the three load-time objects; see detail/ZolLoadOrder.h.
CZolTracer g_Tracer ZOL_LOAD_ORDER(ZOL_LOAD_ORDER_TRACER);

// Constant-initialised: valid before any constructor runs.
CZolTracer* CZolTracer::g_pTracer = &g_Tracer;

namespace {
volatile int s_tracerAssertZero = 0;

// The tracers' mutexes held across a fork (the default tracer's and g_Tracer's), see below.
CZolMutex* s_heldForFork[2] = {nullptr, nullptr};

// Reads a tracer's mutex pointer from outside the class.
struct TracerMutex : CZolTracer {
    static CZolMutex* of(CZolTracer* tracer) {
        return __atomic_load_n(&(tracer->*(&TracerMutex::m_pMutex)), __ATOMIC_ACQUIRE);
    }
};

// A fork while another thread writes a trace would copy standard output's stdio lock, held,
// into the child, whose first trace would then wait for ever. So g_Tracer's and the default
// tracer's locks are taken before fork: no thread is then inside their output. The child does
// nothing: the mutex lives in memory shared with the parent, which releases it right after the
// fork. The handlers are registered when the library is loaded, while one thread runs: a
// registration on first use sat under a function-local static's guard, and a fork while
// another thread was inside it left the guard taken for ever in the child.
[[maybe_unused]] const int s_forkHandlersRegistered = pthread_atfork(
    [] {
        CZolTracer* tracers[2] = {&g_Tracer,
                                  __atomic_load_n(&CZolTracer::g_pTracer, __ATOMIC_ACQUIRE)};
        for (int i = 0; i < 2; ++i) {
            CZolMutex* held = tracers[i] != nullptr ? TracerMutex::of(tracers[i]) : nullptr;
            if (held != nullptr && (i == 0 || held != s_heldForFork[0]) &&
                held->Lock(QEL_INFINITE)) {
                s_heldForFork[i] = held;
            }
        }
    },
    [] {
        for (int i = 1; i >= 0; --i) {
            if (s_heldForFork[i] != nullptr) {
                s_heldForFork[i]->Unlock();
                s_heldForFork[i] = nullptr;
            }
        }
    },
    [] { s_heldForFork[0] = s_heldForFork[1] = nullptr; });
}  // namespace

CZolTracer::CZolTracer() : m_pMutex(nullptr) {}

CZolTracer::~CZolTracer() {
    // g_Tracer goes at exit, while other threads may still be tracing through it: its mutex
    // stays for them (the process is ending anyway).
    if (this != &g_Tracer) {
        delete m_pMutex;
    }
}

CZolMutex* CZolTracer::lockMutex() {
    CZolMutex* mutex = __atomic_load_n(&m_pMutex, __ATOMIC_ACQUIRE);
    if (mutex != nullptr) {
        return mutex;
    }
    // Two threads may both get here on their first call. Each builds a mutex, only one
    // publishes it, and the loser destroys its own and uses the winner's: one mutex
    // results and none is lost, without a lock to guard the lock.
    CZolMutex* created = new CZolMutex(0, nullptr, 0);
    if (__atomic_compare_exchange_n(&m_pMutex, &mutex, created, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE)) {
        return created;
    }
    delete created;
    return mutex;
}

void CZolTracer::TraceLine(const char* text, const char* file, unsigned short line) {
    CZolLocker locker(lockMutex());
    __ZolTrace("file: %s line: %d. %s\n", file, line, text);
}

void CZolTracer::Trace(const char* format, ...) {
    CZolLocker locker(lockMutex());
    char buffer[512];
    va_list args;
    va_start(args, format);
    zolFormatV(buffer, format, args);
    va_end(args);
    fputs(buffer, stdout);
    fflush(stdout);
}

void CZolTracer::Assert(char* expression, char* file, unsigned int line) {
    CZolLocker locker(lockMutex());
    printf("\aFAILED ASSERTION %s (%s  line %d)\n", expression, file, static_cast<int>(line));
    fflush(stdout);
    zolDivideByZero(s_tracerAssertZero);
}

void CZolTracer::Throw(unsigned int code, char* file, int line) {
    CZolLocker locker(lockMutex());
    CZolString message;
    message.Format("ERROR: '%s' '%d'\n", file, line);
    fputs(message.c_str(), stdout);
    fflush(stdout);
    throw code;  // the locker and the string are destroyed as the exception leaves
}

void CZolTracer::SetDefaultTracer(CZolTracer* pTracer) {
    CZolLocker locker(lockMutex());
    __atomic_store_n(&g_pTracer, pTracer, __ATOMIC_RELEASE);
}
