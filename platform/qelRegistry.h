// The registry of live processes (the layout is in qelStore.h): who holds an object is told
// by a slot of this file whose record lock the kernel keeps exactly as long as its process
// lives. Private to the store.
#ifndef ZOLTOV_PLATFORM_QELREGISTRY_H
#define ZOLTOV_PLATFORM_QELREGISTRY_H

#include <stdint.h>

#include "qelStore.h"
#include "qelThreadSafety.h"

namespace qel {
namespace registry {

// The process's registry state; taken after the holds' list and a table lock, before the
// directory's lock.
extern Mutex g_lock;

// A process as a holder: its slot, the slot's generation when it took it, and the
// registry's epoch.
struct Identity {
    uint32_t slot;
    uint32_t generation;
    uint32_t epoch;
};

// This process's identity, registering it on first use. A process whose registry descriptor
// was closed or replaced under it (a program closing every descriptor it did not open)
// registers again, under a new slot: then *replaced is the identity it had (else its
// generation is 0), whose holds must move to the new one (store::enterHolds). False when the
// registry cannot be had (the reason is set).
bool self(Identity* me, Identity* replaced) QEL_EXCLUDES(g_lock);
// This process's identity when it has registered, without registering; false otherwise.
bool current(Identity* me) QEL_EXCLUDES(g_lock);
// Whether the process that entered entry is still alive: asked of the kernel through the
// slot's lock. An entry of another registry (one that its last process removed) or of an
// earlier owner of the slot is dead; one whose liveness cannot be told counts as alive.
bool alive(const HolderEntry& entry) QEL_EXCLUDES(g_lock);
// The pid (in its own PID namespace) and command name of a live entry's process.
bool describe(const HolderEntry& entry, int* pid, char command[16]) QEL_EXCLUDES(g_lock);

// Fork: before it, the parent claims a slot for the child through a descriptor of its own
// (the child inherits it, and with it the lock); after it, the parent closes its copy and the
// child takes the slot as its own and lets go of its parent's descriptor. A child whose
// parent held nothing starts unregistered.
bool prepareChild(Identity* child) QEL_REQUIRES(g_lock);
void afterForkInParent() QEL_REQUIRES(g_lock);
void afterForkInChild() QEL_REQUIRES(g_lock);

// At exit: marks this process's slot free for reuse once the process has ended, and removes
// the registry file when this is the last process that uses it (true then, and when there
// is no registry).
bool leaveAtExit();
// Removes the registry file when no live process uses it (all ended without exit(): killed,
// _exit); true then, and when there is none. The descriptor stays open, its lock held, until
// the process ends.
bool removeIfUnused();

// For the fork handlers: the registry's lock, taken after the holds' list and before the
// directory's.
void lockForFork() QEL_ACQUIRE(g_lock);
void unlockForFork() QEL_RELEASE(g_lock);

}  // namespace registry
}  // namespace qel

#endif  // ZOLTOV_PLATFORM_QELREGISTRY_H
