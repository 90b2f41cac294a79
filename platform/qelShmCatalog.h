/* qelShmCatalog.h - a view of this user's shared-memory segments from outside any process
 * that uses them: for operators' tools (the zoltov tool's `shm` commands), not for the
 * library's classes. Hidden like the rest of the platform layer; status 0 = success.
 */
#ifndef ZOLTOV_PLATFORM_QELSHMCATALOG_H
#define ZOLTOV_PLATFORM_QELSHMCATALOG_H

#include "qel.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct QEL_SHM_ENTRY {
    /* The segment's name; null for a name too long to be kept in its file. */
    const char* name;
    /* The file that holds the segment. */
    const char* path;
    /* The size given to qelAllocShMem (for the library: 4-byte count plus data area). */
    unsigned long long size;
    /* The segment's first byte, mapped read-only for the visitor's call only. */
    const unsigned char* base;
} QEL_SHM_ENTRY;

/* Returns non-zero to stop the walk. */
typedef int (*QEL_SHM_VISITOR)(const QEL_SHM_ENTRY* entry, void* context);

/* Calls visitor once per well-formed segment file of this user, in directory order.
 * Files of other kinds, damaged or half-created ones are passed over. QEL_OK also when
 * there is no segment (or no directory yet). */
QEL_STATUS qelEnumShMem(QEL_SHM_VISITOR visitor, void* context);

/* Calls visitor once for the segment called name; QEL_E_NOT_FOUND when there is none. */
QEL_STATUS qelInspectShMem(const char* name, QEL_SHM_VISITOR visitor, void* context);

/* Destroys the segment called name, whoever still maps it (their mappings stay valid until
 * they unmap, but nobody can attach any more), and drops its named mutex (name followed by
 * mutexSuffix, may be null) when no process holds that any longer. The key file is the
 * caller's. QEL_E_NOT_FOUND when there is no such segment. */
QEL_STATUS qelRemoveShMem(const char* name, const char* mutexSuffix);

/* Removes the mutex and event files whose holders have all died (the wait-any word and
 * segments are left alone). */
QEL_STATUS qelSweepStale(void);

/* Why the object directory cannot be used, with its path, owner and the remedy; "" when it
 * can (or does not exist yet). */
const char* qelShmProblem(void);

#ifdef __cplusplus
}
#endif

#endif /* ZOLTOV_PLATFORM_QELSHMCATALOG_H */
