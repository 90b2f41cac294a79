/* qel.h - the platform layer: the only way the library reaches the operating system's
 * threads, mutexes, events and shared memory.
 *
 * Every function has C linkage and is private to libzoltov.so (hidden visibility).
 *
 * Conventions
 *   - Result: a 32-bit status, QEL_OK (0) on success; the QEL_E_... codes below otherwise.
 *     qelEndThread does not return; qelStrupr returns its argument.
 *   - Handles are `long` values written through a pointer; 0 means "none". Every operation
 *     given handle 0, or the handle of an object already closed, returns a non-zero status.
 *     Close/delete operations set the caller's handle to 0.
 *   - Timeouts are milliseconds. QEL_INFINITE (0xFFFFFFFF) waits for ever; 0 tests without
 *     blocking. Deadlines are measured on CLOCK_MONOTONIC, so changes of the wall clock,
 *     signals and spurious wake-ups never stretch or shorten a wait.
 *   - Names are any NUL-terminated byte strings (empty included). Each kind of named object
 *     (mutex, event, segment) has its own name space; names are case-sensitive.
 *
 * Named objects
 *   Named mutexes, named events and segments live as files under /dev/shm/zoltov-<uid>/,
 *   created with mode 0600 (owner read/write only, never group- or world-writable).
 *   All processes that share a named mutex must run in the same PID namespace (robust
 *   mutexes identify their owner by thread id). A named mutex or event disappears when
 *   the last process that holds it closes it; a segment lives until qelDeallocShMem.
 */
#ifndef ZOLTOV_PLATFORM_QEL_H
#define ZOLTOV_PLATFORM_QEL_H

#ifdef __cplusplus
extern "C" {
#endif

#define QEL_OK 0u
#define QEL_INFINITE 0xFFFFFFFFu

/* Status codes. The first two have meanings fixed by the library above. */
#define QEL_E_TIMEOUT 0xF0015u     /* a wait or lock timed out */
#define QEL_E_WAIT_FAILED 0xF0026u /* a wait could not be carried out */
#define QEL_E_BAD_HANDLE 0xF0101u  /* handle 0, closed, or of the wrong kind */
#define QEL_E_INVALID 0xF0102u     /* a bad argument (null pointer, count out of range) */
#define QEL_E_NOT_FOUND 0xF0103u   /* no object of that name exists */
#define QEL_E_EXISTS 0xF0104u      /* an object of that name exists already */
#define QEL_E_NO_MEMORY 0xF0105u   /* memory or address space exhausted */
#define QEL_E_RESOURCES 0xF0106u   /* the system refused (files, threads, disk space) */
#define QEL_E_ACCESS 0xF0107u      /* permission denied */
#define QEL_E_NOT_OWNER 0xF0108u   /* unlock by a thread that does not own the mutex */
#define QEL_E_CORRUPT 0xF0109u     /* a shared object's header is damaged or of another kind */
#define QEL_E_EXITED 0xF010Au      /* the thread has ended */
#define QEL_E_DEADLOCK 0xF010Bu    /* a thread tried to suspend or wait on itself unsafely */
#define QEL_E_NOT_IMPLEMENTED 0xF01FFu

/* Most events qelWaitEvents accepts in one call (the kernel's futex_waitv limit). */
#define QEL_MAX_WAIT_EVENTS 128u

/* Thread priorities: QEL_PRIORITY_LOWEST .. QEL_PRIORITY_HIGHEST, 0 normal. */
#define QEL_PRIORITY_LOWEST (-15)
#define QEL_PRIORITY_NORMAL 0
#define QEL_PRIORITY_HIGHEST 15

typedef unsigned int QEL_STATUS;
typedef void (*QEL_THREAD_ENTRY)(void* argument);

/* ---- Process mutexes: recursive, robust, optionally named and shared by processes. ---- */

/* Creates an unlocked mutex, or opens the existing one of that name. Null name: unnamed. */
QEL_STATUS qelCreateUnlockedMutex(const char* name, long* handle);
/* Opens an existing named mutex; QEL_E_NOT_FOUND when there is none. */
QEL_STATUS qelOpenMutex(const char* name, long* handle);
/* Locks; recursive for the owner. An owner that died holding it hands it over (QEL_OK). */
QEL_STATUS qelLockMutex(long handle, long timeout);
/* Unlocks one level; QEL_E_NOT_OWNER when the caller does not own it. */
QEL_STATUS qelUnlockMutex(long handle);
QEL_STATUS qelCloseMutex(long* handle);

/* ---- Thread mutexes: recursive, private to the process. ---- */

QEL_STATUS qelCreateUnlockedThreadMutex(const char* name, long* handle);
QEL_STATUS qelLockThreadMutex(long handle, long timeout);
QEL_STATUS qelUnlockThreadMutex(long handle);
QEL_STATUS qelDeleteThreadMutex(long* handle);

/* ---- Events: set until reset; optionally named and shared by processes. ---- */

/* Creates a not-set event, or opens the existing one of that name. Null name: unnamed. */
QEL_STATUS qelCreateEvent(const char* name, long* handle);
QEL_STATUS qelSetEvent(long handle);
QEL_STATUS qelResetEvent(long handle);
/* QEL_OK once the event is set (or was set and reset after the wait began);
 * QEL_E_TIMEOUT; QEL_E_WAIT_FAILED. */
QEL_STATUS qelWaitEvent(long handle, unsigned int timeout);
/* Waits until any of count events (1..QEL_MAX_WAIT_EVENTS) is set. QEL_OK with *index the
 * lowest index of a set event; QEL_E_TIMEOUT with *index 0xFFFFFFFF; QEL_E_WAIT_FAILED. */
QEL_STATUS qelWaitEvents(const long* handles, unsigned int count, unsigned int* index,
                         unsigned int timeout);
QEL_STATUS qelCloseEvent(long* handle);
QEL_STATUS qelDeleteEvent(long* handle);

/* ---- Threads ---- */

QEL_STATUS qelBeginThread(QEL_THREAD_ENTRY entry, void* argument, long* thread);
/* Ends the calling thread (unwinding its stack). */
void qelEndThread(unsigned int exitCode);
/* Nested: each suspend needs one resume. Suspend returns once the thread has stopped. */
QEL_STATUS qelSuspendThread(long thread);
QEL_STATUS qelResumeThread(long thread);
QEL_STATUS qelSetThreadPriority(long thread, int priority);
QEL_STATUS qelGetThreadPriority(long thread, int* priority);
QEL_STATUS qelDeleteThreadHandle(long* thread);

/* ---- Shared-memory segments ---- */

/* Maps the existing segment of that name; QEL_E_NOT_FOUND when there is none. */
QEL_STATUS qelAttachShMem(const char* name, long* segment, void** base);
/* Creates and maps a new zero-filled segment of size bytes; QEL_E_EXISTS when the name is
 * taken. Also creates the key file /opt/zol/ftok/<name> where permissions allow. */
QEL_STATUS qelAllocShMem(const char* name, unsigned int size, long* segment, void** base);
QEL_STATUS qelDetachShMem(long* segment, void** base);
/* Unmaps and destroys the segment (the key file is the caller's to remove). */
QEL_STATUS qelDeallocShMem(long* segment, void** base);

/* ---- Strings ---- */

/* Upper-cases the NUL-terminated text in place, byte by byte; returns text. */
char* qelStrupr(char* text);

#ifdef __cplusplus
}
#endif

#endif /* ZOLTOV_PLATFORM_QEL_H */
