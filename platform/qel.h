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
 *     A closed handle stays closed: it never crashes and never reaches an object made later,
 *     however many objects are made and closed after it (a handle's record is reused only for
 *     the same kind of object, and retired once 65,535 objects have used it).
 *   - Timeouts are milliseconds. QEL_INFINITE (0xFFFFFFFF) waits for ever; 0 tests without
 *     blocking. Deadlines are measured on CLOCK_MONOTONIC, so changes of the wall clock,
 *     signals and spurious wake-ups never stretch or shorten a wait. The `long` timeout of the
 *     mutex locks also waits for ever when negative or above 0xFFFFFFFF.
 *   - Names are any NUL-terminated byte strings (empty included). Each kind of named object
 *     (mutex, event, segment) has its own name space; names are case-sensitive.
 *
 * Named objects (the protocol in detail: qelStore.cpp)
 *   Named mutexes, named events and segments are files of one object directory:
 *   /dev/shm/zoltov-<euid>/ (mode 0700, made on first use, removed when the last process
 *   that used it exits and it is empty), or the directory named by ZOLTOV_RUNTIME_DIR, which
 *   an administrator creates and which is never made or removed here. In a setgid directory
 *   of one of the user's groups, or of the user's own (for example root:shared 2770, which
 *   root shares without being a member of shared), the files are 0660 of the directory's
 *   group and its members and its owner share the objects; elsewhere they are 0600 and only
 *   processes of the same effective user share them. A ZOLTOV_RUNTIME_DIR writable by all,
 *   sticky, or neither the user's nor shared with the user is refused.
 *   ZOL_QEL_NAMESPACE=<word> ([A-Za-z0-9_-], up to 32 bytes) moves the default directory to
 *   /dev/shm/zoltov-<euid>-<word>/.
 *   Bytes other than [A-Za-z0-9._-] are escaped in the file name and names whose escaped form
 *   is longer than 200 bytes are replaced by a 128-bit hash, so no name reaches outside the
 *   directory and names differing in any byte (case included) never meet.
 *   Every path is walked one directory at a time (the object directory and /opt/zol/ftok
 *   alike). A symbolic link owned by root on the way is followed (/dev/shm -> /run/shm,
 *   /var/run -> /run; at most 8 links), any other link never; the default directory itself,
 *   /opt/zol and /opt/zol/ftok are never reached through a link.
 *   Object files are opened without blocking:
 *   a link, FIFO or other special file, a file of another owner or mode, one with more than
 *   one link or a header of another kind or name gives QEL_E_CORRUPT at once.
 *   Each name stands alone: creating, opening and closing one name never waits for another
 *   name's work (a process stopped in the middle of one delays only that name) and never
 *   scans the directory. An object is published complete or not at all, so a creator killed
 *   at any step leaves nothing. Holding an object costs a mapping, no file descriptor.
 *
 * Holders and liveness
 *   Each object file lists the processes that hold it (a segment: that are connected to it),
 *   one entry per process with its number of handles, with no limit but memory. A process
 *   is known by its slot in the directory's registry of live processes (.registry), which
 *   it owns while it holds a record lock on it; the kernel drops that lock when the process
 *   ends, however it ends, so whether a holder lives is asked of the kernel, never guessed
 *   from a pid or a start time (a reused pid, a time namespace or another PID namespace
 *   cannot fool it). A process uses one descriptor for this, the registry's, and none per
 *   object; a program that closes descriptors it did not open makes the process register
 *   again at its next open of a name, entering its holds anew.
 *   exit() gives up every hold the process made itself, segment connections included. A
 *   process that is killed (or calls _exit) keeps its holds until someone looks at them:
 *   every open and close of a name looks at the name's holders (all of them when at most 8
 *   hold it, else from where the last look stopped until it finds a live one and two more),
 *   taking back the dead ones it meets; a
 *   sweep of the directory, a few entries at a time on creations and exits, takes back the
 *   rest. An object whose last live holder leaves is removed: a named mutex or event when
 *   its last holding process closes it or exits, a segment with its last live connection.
 *   One whose holders were all killed is treated as absent (a mutex or event made afresh, or
 *   QEL_E_NOT_FOUND for an open; a segment is removed and not found).
 *   PID namespaces: robust mutexes identify their owner by thread id, so a named mutex or
 *   event made in another PID namespace is refused with QEL_E_NAMESPACE rather than shared.
 *   Failures that the status alone would not explain are told by qelFailureReason: a
 *   directory that cannot be used (its path, "ZOLTOV_RUNTIME_DIR=<path>" when that chose it,
 *   and the cause: missing, permission denied, not a directory, another user's link, writable
 *   by all, sticky, not shared with the user; for a default directory that another user
 *   took, its owner and the remedy), and a file the user may not open (QEL_E_ACCESS: the
 *   file's owner, group and mode).
 *   The layer keeps three files of its own in the directory: .registry, .waitany (the
 *   wait-any fallback's wake-up word, made only when used) and .waits (the wait board, made
 *   at the first wait that blocks); the last process to leave removes them.
 *
 * Waits and deadlocks
 *   A thread that blocks on a named mutex or event (a lock that finds it held, a wait that
 *   finds the event not set) writes on the wait board, on its way in, what it waits for and
 *   since when, and clears it on its way out; a process that is killed while waiting leaves
 *   a record that reads as gone, as the registry says its process has ended. Locks, unlocks,
 *   sets and waits that do not block write nothing. Unnamed objects are not recorded. The
 *   zoltov tool's `locks` command reads the board, the mutexes' owners and the holders, and
 *   names the cycles of waits that no thread can leave (see qelLocks.h).
 *   ZOLTOV_DEADLOCK=report makes each blocking wait on a named object first look for such a
 *   cycle through itself (reading the whole store: a debugging aid, not for production
 *   speed) and, when it finds one that is still there 20 ms later, describe it on standard
 *   error; ZOLTOV_DEADLOCK=fail also makes that wait return QEL_E_DEADLOCK at once instead
 *   of waiting. Read once per process.
 *
 * Fork
 *   An unnamed process mutex lives in shared memory and is shared with children forked after
 *   its creation. Unnamed events are private to the process (a forked child has a copy); use
 *   a named event to signal between processes. The layer's internal locks are held across
 *   fork, so a child may use it at once, even when other threads were busy in it.
 *   A child's inherited handles of named objects are holds of its own: fork enters the child
 *   as a holder of every named object its parent holds, with as many handles. So an object
 *   made before fork stays while the child uses it, after its parent has exited too, and
 *   everyone who opens its name meets the same object. A child's copy of a segment handle is
 *   not a connection, though: the count stays what its users' opens made it, the child's
 *   close of the copy takes nothing from it, and its qelDeallocShMem removes the segment
 *   only when no other live process holds it; but while the child lives, the segment is not
 *   removed by its parent's exit or by the taking back of dead connections. This costs fork
 *   a moment per object held. An object whose table another process keeps locked for more
 *   than 200 ms is not entered: the child's handle of it is then only a view, which a close
 *   merely unmaps. A child made without fork's handlers (vfork, posix_spawn, a raw clone)
 *   holds nothing.
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
#define QEL_E_NOT_OWNER                                                                    \
    0xF0108u                     /* not the owner: unlock of another's mutex; deallocation \
                                  * of an inherited segment */
#define QEL_E_CORRUPT 0xF0109u   /* a shared object's header is damaged or of another kind */
#define QEL_E_EXITED 0xF010Au    /* the thread has ended */
#define QEL_E_NAMESPACE 0xF010Bu /* a named mutex or event of another PID namespace */
#define QEL_E_DEADLOCK 0xF010Cu  /* the wait would close a cycle of waits (ZOLTOV_DEADLOCK=fail) */

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
/* Locks; recursive for the owner, who must unlock as often. An owner that died holding it
 * hands it over: the next locker gets it with QEL_OK (the data it guarded may be half
 * updated). Timeout 0 tries; QEL_E_TIMEOUT when not acquired in time; QEL_E_WAIT_FAILED when
 * the mutex became unusable; QEL_E_DEADLOCK (see "Waits and deadlocks"); QEL_E_BAD_HANDLE.
 * Thread-safe. */
QEL_STATUS qelLockMutex(long handle, long timeout);
/* Unlocks one level; QEL_E_NOT_OWNER when the caller does not own it. */
QEL_STATUS qelUnlockMutex(long handle);
/* QEL_OK when the calling thread owns the mutex (at any level), QEL_E_NOT_OWNER when it does
 * not, QEL_E_BAD_HANDLE. Changes nothing. */
QEL_STATUS qelOwnsMutex(long handle);
/* Closes this handle (not the mutex held by other handles or processes); sets *handle to 0.
 * A caller that holds the lock through this handle releases every level of it first, so
 * nothing of the mutex stays on its robust list; a lock taken through another handle of the
 * same name stays held. When another thread of this process holds it through this handle
 * (or, having taken it through this handle last, now through another), its memory stays
 * mapped until the process ends, so that thread's later calls and exit stay harmless.
 * QEL_E_BAD_HANDLE, QEL_E_INVALID. */
QEL_STATUS qelCloseMutex(long* handle);

/* ---- Thread mutexes: recursive, private to the process. ---- */

/* Creates an unlocked mutex; the name is ignored. QEL_E_NO_MEMORY, QEL_E_INVALID. */
QEL_STATUS qelCreateUnlockedThreadMutex(const char* name, long* handle);
/* Locks (recursive); timeout as for qelLockMutex: QEL_E_TIMEOUT, QEL_E_BAD_HANDLE. */
QEL_STATUS qelLockThreadMutex(long handle, long timeout);
/* Unlocks one level; QEL_E_NOT_OWNER when the caller does not own it. */
QEL_STATUS qelUnlockThreadMutex(long handle);
/* Destroys the mutex, which must not be held or waited for; sets *handle to 0. */
QEL_STATUS qelDeleteThreadMutex(long* handle);

/* ---- Events: set until reset; optionally named and shared by processes. ---- */

/* Creates a not-set event, or opens the existing one of that name. Null name: unnamed. */
QEL_STATUS qelCreateEvent(const char* name, long* handle);
/* Sets the event, releasing every waiter; it stays set until reset. QEL_E_BAD_HANDLE. */
QEL_STATUS qelSetEvent(long handle);
/* Clears the event; waiters already released by a set still return QEL_OK. */
QEL_STATUS qelResetEvent(long handle);
/* QEL_OK once the event is set (or was set and reset after the wait began);
 * QEL_E_TIMEOUT; QEL_E_WAIT_FAILED (also for a bad handle); QEL_E_DEADLOCK (see "Waits and
 * deadlocks", also for the waits below). Waiting does not reset it. */
QEL_STATUS qelWaitEvent(long handle, unsigned int timeout);
/* Waits until any of count events (1..QEL_MAX_WAIT_EVENTS) is set. QEL_OK with *index the
 * lowest index of a set event (or of one set and reset since the wait began);
 * QEL_E_TIMEOUT with *index 0xFFFFFFFF; QEL_E_WAIT_FAILED with *index 0xFFFFFFFF for a count
 * of 0 or above QEL_MAX_WAIT_EVENTS or any bad handle. Uses futex_waitv where the kernel
 * allows it, else a slower broadcast fallback; unnamed and named events may be mixed. */
QEL_STATUS qelWaitEvents(const long* handles, unsigned int count, unsigned int* index,
                         unsigned int timeout);
/* Like qelWaitEvent, but the wait and the reset are one atomic step: the waiter succeeds only
 * by clearing the set event itself, so each set releases exactly one such waiter (a set of
 * an event already set releases no second one). Plain waiters are released as usual; a set
 * followed at once by a reset releases no resetting waiter. Across processes for named
 * events. Results as for qelWaitEvent. */
QEL_STATUS qelWaitEventAndReset(long handle, unsigned int timeout);
/* qelWaitEvents where reset[i] non-zero makes the wait on handles[i] a resetting one (as
 * above): the event returned is cleared by this waiter. A null reset resets none. */
QEL_STATUS qelWaitEventsAndReset(const long* handles, const unsigned char* reset,
                                 unsigned int count, unsigned int* index, unsigned int timeout);
/* Both close this handle and set *handle to 0; the object of a named event lives on while
 * other handles or processes hold it. Waiters on the closed handle must have left.
 * QEL_E_BAD_HANDLE, QEL_E_INVALID. */
QEL_STATUS qelCloseEvent(long* handle);
QEL_STATUS qelDeleteEvent(long* handle);

/* ---- Threads ----
 * Suspension uses one real-time signal, the first of SIGRTMIN+4 .. SIGRTMAX-4 without a
 * handler when the first thread starts (taken once per process); only threads started here
 * can be suspended. Every operation on a thread that has ended returns QEL_E_EXITED (a
 * deleted handle: QEL_E_BAD_HANDLE).
 *
 * A suspended thread is stopped inside that signal's handler, which is installed with
 * SA_RESTART. A system call the thread was blocked in when it was stopped therefore goes on
 * after the resume if the kernel restarts it after a handler, and returns early if not:
 *   - restarted (the call completes as if nothing happened): read, readv, write, writev and
 *     ioctl on pipes, terminals, sockets without a time-out and other slow devices; open of
 *     a FIFO; wait, waitpid, waitid, wait4; flock and fcntl F_SETLKW; futex waits without a
 *     time-out, hence sem_wait; the C library's mutex and condition-variable waits (timed
 *     ones too: it resumes them itself); and this layer's own waits and locks, which keep
 *     their deadline;
 *   - never restarted, failing with EINTR (nanosleep and clock_nanosleep report the time
 *     left; sleep returns the seconds left): nanosleep, clock_nanosleep, usleep, sleep;
 *     poll, ppoll, select, pselect, epoll_wait, epoll_pwait, whatever their time-out;
 *     pause, sigsuspend, sigtimedwait, sigwaitinfo; socket calls on a socket with a receive
 *     or send time-out (SO_RCVTIMEO, SO_SNDTIMEO: accept, recv, recvfrom, recvmsg, recvmmsg,
 *     send, sendto, sendmsg); System V msgrcv, msgsnd, semop, semtimedop; io_getevents;
 *     futex waits with a time-out, hence sem_timedwait and sem_clockwait.
 * A thread that must not return early from those calls retries them on EINTR, as it would
 * after any other signal handler. */

/* Starts a thread running entry(argument). QEL_E_RESOURCES, QEL_E_NO_MEMORY, QEL_E_INVALID. */
QEL_STATUS qelBeginThread(QEL_THREAD_ENTRY entry, void* argument, long* thread);
/* Ends the calling thread by unwinding its stack (destructors run; a catch (...) that
 * swallows the unwinding aborts the process). The exit code is not kept. */
void qelEndThread(unsigned int exitCode);
/* Nested: each suspend needs one resume. Returns once the thread has stopped, even when it
 * was blocked in a wait (it makes no progress until resumed). A thread may suspend itself;
 * it then returns after the resume that brings the count to 0. A thread suspending itself
 * while others suspend it, or calling its own priority operations meanwhile, never
 * deadlocks: the suspender does not hold the thread's lock while it waits for the stop, and
 * a self-suspension counts as a stop for a concurrent suspender. A thread is not stopped
 * inside this layer's lock regions, nor inside the open, close or removal of a named object
 * (the suspend takes effect when the call ends). A thread suspended while it holds another
 * lock blocks everyone who needs that lock. QEL_E_ACCESS, nothing suspended, when the thread
 * still blocks the suspend signal after about 200 ms (its own signal mask, a sigwait on it)
 * or the program installed its own handler for that signal: the count is left as it was, so
 * the signal, once the thread takes it, does not stop it, and a resume that follows returns
 * QEL_E_INVALID. */
QEL_STATUS qelSuspendThread(long thread);
/* Undoes one suspend; the thread runs again when the count reaches 0. QEL_E_INVALID when
 * it is not suspended. */
QEL_STATUS qelResumeThread(long thread);
/* priority in QEL_PRIORITY_LOWEST..QEL_PRIORITY_HIGHEST (else QEL_E_INVALID) becomes the
 * thread's nice value -priority. Without CAP_SYS_NICE a thread may only be lowered: its
 * priority can go down to -15 (as can the thread itself), but raising it again, even back to
 * 0, needs RLIMIT_NICE of at least 20 + priority; a refusal is QEL_E_ACCESS with the
 * priority unchanged. So an unprivileged program's usable range is -15..0, one way. */
QEL_STATUS qelSetThreadPriority(long thread, int priority);
/* As qelSetThreadPriority, for the calling thread, which must have been started by
 * qelBeginThread (else QEL_E_INVALID): a thread can set its own priority before its creator
 * knows its handle. */
QEL_STATUS qelSetOwnThreadPriority(int priority);
/* Writes the priority last set (QEL_PRIORITY_NORMAL initially), also for an ended thread
 * (then QEL_E_EXITED). */
QEL_STATUS qelGetThreadPriority(long thread, int* priority);
/* Releases the handle: joins an ended thread, detaches a running one; sets *thread to 0. */
QEL_STATUS qelDeleteThreadHandle(long* thread);

/* ---- Shared-memory segments ---- */

/* Segments are mapped read/write and shared, and start with a 4-byte connection count that
 * this layer keeps: each handle is one connection, the count is the live connections of all
 * processes, and the segment is removed with the last of them (see "Holders and liveness").
 * *base is 4-byte aligned; the segment ends at most 3 bytes before an inaccessible page, so
 * a copy that runs further past its end faults (SIGSEGV) in the process that made it and
 * never reaches another object's memory. */

/* Maps the existing segment of that name and adds one connection to its count (after taking
 * back those of dead processes); QEL_E_NOT_FOUND when there is none, or when every process
 * connected to it has died (it is removed then). */
QEL_STATUS qelAttachShMem(const char* name, long* segment, void** base);
/* Creates and maps a new zero-filled segment of size bytes whose count is 1 (this
 * connection); QEL_E_EXISTS when the name is taken; QEL_E_RESOURCES when /dev/shm is full or
 * the size is over the file-size limit; QEL_E_INVALID for a size below 4 (the count). Also
 * creates the empty key file /opt/zol/ftok/<name> (mode 0644, O_EXCL, never through a
 * symbolic link) where permissions allow, and only for names that are a single path
 * component of at most NAME_MAX bytes; failing to create it never fails the allocation. */
QEL_STATUS qelAllocShMem(const char* name, unsigned int size, long* segment, void** base);
/* Takes back the connections of dead processes and writes the live connections, counting
 * this handle as one (it is one, unless it is a forked child's copy). QEL_E_BAD_HANDLE. */
QEL_STATUS qelCountShMem(long segment, unsigned int* connections);
/* Gives up this handle's connection and unmaps; the segment is removed (with its key file)
 * when no live connection is left. Sets *segment to 0 and *base to null. */
QEL_STATUS qelDetachShMem(long* segment, void** base);
/* Unmaps and removes the segment, whoever is still connected; processes still attached
 * keep their mapping, but the name is free at once. Sets *segment to 0 and *base to null.
 * A forked child's copy of a connection removes it only when no other live process holds
 * it (else QEL_E_NOT_OWNER, and it only gives up the copy, as qelDetachShMem does); a handle
 * that fork could not enter as the child's own is only unmapped (QEL_E_NOT_OWNER).
 * QEL_E_RESOURCES when the name could not be removed (the segment is dead all the same: its
 * next opener removes the name). */
QEL_STATUS qelDeallocShMem(long* segment, void** base);

/* Removes the key file /opt/zol/ftok/<name> of a deallocated segment: only for names that
 * are one plain path component, walking the path without following symbolic links (a link
 * planted there is removed itself, never its target). Nothing is reported. */
void qelRemoveKeyFile(const char* name);

/* Why the calling thread's last failed create or open of a named object failed, where the
 * status alone would mislead: an object directory taken by someone else (its path, owner and
 * the remedy), an object of another PID namespace, a file that cannot be trusted. "" when
 * there is nothing to add. The library prints it after its fatal message. */
const char* qelFailureReason(void);

/* ---- Strings ---- */

/* Upper-cases the NUL-terminated text in place, byte by byte; returns text. */
char* qelStrupr(char* text);

#ifdef __cplusplus
}
#endif

#endif /* ZOLTOV_PLATFORM_QEL_H */
