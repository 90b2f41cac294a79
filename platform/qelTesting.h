/* qelTesting.h - hooks for the platform layer's own tests; nothing else includes this. */
#ifndef ZOLTOV_PLATFORM_QELTESTING_H
#define ZOLTOV_PLATFORM_QELTESTING_H

#ifdef __cplusplus
extern "C" {
#endif

/* Forces wait-any onto its fallback (1), onto futex_waitv where the kernel has it (0), or back
 * to the start-up choice (-1). The environment variable ZOL_QEL_FORCE_WAITV_FALLBACK=1, read
 * once, forces the fallback for a whole process. */
void qelTestForceWaitvFallback(int force);
/* 1 when wait-any currently uses futex_waitv. */
int qelTestWaitvInUse(void);
/* 1 when some waiter has marked the event's word (it sampled the event and is about to sleep
 * or sleeps), so a test can pulse the event only once its waiters are really waiting. */
int qelTestEventHasWaiters(long handle);

/* The directory that holds this process's named objects and segments (it follows
 * ZOL_QEL_NAMESPACE, read once); "" when the directory is unusable (taken by someone else). */
const char* qelTestObjectDirectory(void);

/* Fault injection into the named-object store's system calls (qelSys.h). qelTestFault arms
 * a fault at the atCall-th store system call from now (1 = the next; 0 = none, only count):
 * QEL_FAULT_FAIL makes that call fail with error, QEL_FAULT_KILL kills the process with
 * SIGKILL just before it, QEL_FAULT_STOP stops it with SIGSTOP there (it goes on when
 * continued). QEL_FAULT_COUNT only counts; QEL_FAULT_OFF disarms. Re-arming restarts the count.
 * qelTestFaultCalls: store system calls since arming; qelTestFaultCallName: the name of the
 * n-th of them (1-based; "" beyond what is kept). */
#define QEL_FAULT_OFF 0
#define QEL_FAULT_COUNT 1
#define QEL_FAULT_FAIL 2
#define QEL_FAULT_KILL 3
#define QEL_FAULT_STOP 4
void qelTestFault(unsigned int atCall, int action, int error);
/* The same at the nth call of the one system call named call ("fcntl", "unlinkat", ...). */
void qelTestFaultAt(const char* call, unsigned int nth, int action, int error);
unsigned int qelTestFaultCalls(void);
const char* qelTestFaultCallName(unsigned int n);

#ifdef __cplusplus
}
#endif

#endif /* ZOLTOV_PLATFORM_QELTESTING_H */
