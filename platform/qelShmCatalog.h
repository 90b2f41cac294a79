/* qelShmCatalog.h - the store seen from outside the processes that use it, for operators'
 * tools (the zoltov tool's `shm` commands): every object file with its live holders, and
 * the repairs an operator may ask for. Listing never counts as using an object; every
 * change is made under the object's table lock, as the library's own opens and closes are,
 * and never waits longer than the caller allows. Status 0 = success.
 */
#ifndef ZOLTOV_PLATFORM_QELSHMCATALOG_H
#define ZOLTOV_PLATFORM_QELSHMCATALOG_H

#include <stddef.h>

#include "qel.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Kinds of object. */
#define QEL_KIND_MUTEX 1u
#define QEL_KIND_EVENT 2u
#define QEL_KIND_SEGMENT 3u

/* A live process that holds an object: its pid in its own PID namespace, its command name,
 * how many of its handles hold it and, of a segment, how many of those are connections (the
 * others are a forked child's copies of its parent's). */
typedef struct QEL_HOLDER {
    int pid;
    unsigned int handles;
    unsigned int connections;
    char command[16];
} QEL_HOLDER;

typedef struct QEL_SHM_ENTRY {
    unsigned int kind;
    /* The object's name; null for a name too long to be kept in its file. */
    const char* name;
    /* The file that holds the object. */
    const char* path;
    /* A segment: the size given to qelAllocShMem (its 4-byte count and the data); else 0. */
    unsigned long long size;
    /* A segment's first byte, mapped read-only for the visitor's call only; else null. */
    const unsigned char* base;
    /* The live processes that hold it, the caller included (holderCount of them). */
    const QEL_HOLDER* holders;
    size_t holderCount;
    /* The whole object file, mapped read-only for the visitor's call only (its header page
     * first), and which file it is. */
    const unsigned char* file;
    unsigned long long device;
    unsigned long long inode;
    /* Only with QEL_CATALOG_PROBLEMS: why the file at path could not be read (then only kind,
     * path and this are set); null for a file that was read. */
    const char* problem;
} QEL_SHM_ENTRY;

/* Returns non-zero to stop the walk. */
typedef int (*QEL_SHM_VISITOR)(const QEL_SHM_ENTRY* entry, void* context);

/* Kinds of object to walk. */
#define QEL_CATALOG_SEGMENTS 1u
#define QEL_CATALOG_SYNC 2u     /* named mutexes and events */
#define QEL_CATALOG_PROBLEMS 4u /* also the object files that cannot be read, with why */

/* Calls visitor once per well-formed object file of the kinds asked for, in directory order.
 * Files of other kinds, links, special files and damaged ones are passed over. QEL_OK also
 * when there is no object (or no directory yet); QEL_E_ACCESS when the directory cannot be
 * used (qelShmProblem says why). */
QEL_STATUS qelEnumShMem(unsigned int kinds, QEL_SHM_VISITOR visitor, void* context);

/* Calls visitor once for the segment called name; QEL_E_NOT_FOUND when there is none,
 * QEL_E_CORRUPT when what holds its name is no segment this user can trust. */
QEL_STATUS qelInspectShMem(const char* name, QEL_SHM_VISITOR visitor, void* context);

/* Writes why the object directory cannot be used (its path, owner and the remedy) to
 * buffer, "" when it can or does not exist yet. */
void qelShmProblem(char* buffer, size_t size);

/* What a repair did with one directory entry. */
#define QEL_REPAIR_SOUND 0u      /* every holder alive: nothing to do */
#define QEL_REPAIR_TAKEN_BACK 1u /* dead holders taken back; live ones remain */
#define QEL_REPAIR_REMOVED 2u    /* no live holder: the object was removed */
#define QEL_REPAIR_PLANTED 3u    /* a link or special file under an object's name, removed */
#define QEL_REPAIR_BUSY 4u       /* its table stayed locked: not looked at */

typedef struct QEL_REPAIR_ITEM {
    unsigned int action;
    unsigned int kind; /* 0 for a planted entry */
    const char* name;  /* null for a planted entry or a name too long to be kept */
    const char* path;
    unsigned int deadHolders;
    /* Segments: the connection count before and after. */
    unsigned int connectionsBefore;
    unsigned int connectionsAfter;
} QEL_REPAIR_ITEM;

typedef void (*QEL_REPAIR_VISITOR)(const QEL_REPAIR_ITEM* item, void* context);

/* Looks at every holder of every object file (segmentName null), or of the segment called
 * segmentName and its mutex: takes back the dead holders (a segment's count loses their
 * connections), removes the objects with no live holder left (a segment with its key file),
 * and removes links and special files found under object names (never following them;
 * regular files that are no object this user can trust are left to their owner). Calls
 * visitor once per entry it looked at. Waits at most timeoutMs in all for table locks;
 * QEL_E_TIMEOUT when some stayed busy (reported as QEL_REPAIR_BUSY), QEL_E_NOT_FOUND when
 * segmentName names no segment, QEL_E_ACCESS when the directory cannot be used. */
QEL_STATUS qelRepairStore(const char* segmentName, long timeoutMs, QEL_REPAIR_VISITOR visitor,
                          void* context);

/* Removes the segment called name (with its key file) when no live process is connected to
 * it, or whatever its connections with force. QEL_E_EXISTS (*inUse: the live processes
 * connected) when in use; QEL_E_NOT_FOUND; QEL_E_TIMEOUT when its table stayed locked for
 * timeoutMs. */
QEL_STATUS qelRemoveShMem(const char* name, int force, long timeoutMs, unsigned int* inUse);

#ifdef __cplusplus
}
#endif

#endif /* ZOLTOV_PLATFORM_QELSHMCATALOG_H */
