/* qelShmCatalog.h - a view of this user's named objects from outside any process that uses
 * them, for operators' tools (the zoltov tool's `shm` commands). Part of the store's read
 * side: it keeps no state and changes nothing, so the tool links it without the rest of the
 * platform layer, and makes every change through the library's own classes. Status 0 =
 * success.
 */
#ifndef ZOLTOV_PLATFORM_QELSHMCATALOG_H
#define ZOLTOV_PLATFORM_QELSHMCATALOG_H

#include <stddef.h>

#include "qel.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A process that holds a named mutex or event, and how many of its handles do. */
typedef struct QEL_HOLDER {
    int pid;
    unsigned int handles;
} QEL_HOLDER;

typedef struct QEL_SHM_ENTRY {
    /* The object's name; null for a name too long to be kept in its file. */
    const char* name;
    /* The file that holds the object. */
    const char* path;
    /* A segment: the size given to qelAllocShMem (for the library: the 4-byte count plus
     * the data area); 0 for a mutex or event. */
    unsigned long long size;
    /* A segment's first byte, mapped read-only for the visitor's call only; null for a mutex
     * or event. */
    const unsigned char* base;
    /* A mutex or event: the live processes other than the caller that hold it (holderCount
     * of them), as their slots in the file say; none for a segment. */
    const QEL_HOLDER* holders;
    size_t holderCount;
} QEL_SHM_ENTRY;

/* Returns non-zero to stop the walk. */
typedef int (*QEL_SHM_VISITOR)(const QEL_SHM_ENTRY* entry, void* context);

/* Kinds of object to walk. */
#define QEL_CATALOG_SEGMENTS 1u
#define QEL_CATALOG_SYNC 2u /* named mutexes and events */

/* Calls visitor once per well-formed object file of the kinds asked for, in directory order.
 * Files of other kinds, links, special files and damaged ones are passed over. QEL_OK also
 * when there is no object (or no directory yet); QEL_E_ACCESS when the directory cannot be
 * used (qelShmProblem says why). */
QEL_STATUS qelEnumShMem(unsigned int kinds, QEL_SHM_VISITOR visitor, void* context);

/* Calls visitor once for the segment called name; QEL_E_NOT_FOUND when there is none,
 * QEL_E_CORRUPT when what holds its name is no segment this user can trust. */
QEL_STATUS qelInspectShMem(const char* name, QEL_SHM_VISITOR visitor, void* context);

/* As qelInspectShMem, for the named mutex called name (one of another PID namespace is not
 * found). */
QEL_STATUS qelInspectMutex(const char* name, QEL_SHM_VISITOR visitor, void* context);

/* Writes why the object directory cannot be used (its path, owner and the remedy) to
 * buffer, "" when it can or does not exist yet. */
void qelShmProblem(char* buffer, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* ZOLTOV_PLATFORM_QELSHMCATALOG_H */
