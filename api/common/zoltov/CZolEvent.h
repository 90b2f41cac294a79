/// @file
/// CZolEvent.h - a signalling object that is set, reset and waited on, and the three wait
/// functions that give auto-reset events their behaviour.
///
/// The platform event stays set until it is reset. An auto-reset event (manual reset 0) is
/// reset by the wait functions below (and Lock) as they succeed: the wait and the reset are
/// one atomic step, so each SetEvent releases exactly one such waiter, also across processes
/// for a named event, and a SetEvent on an event still set releases no second one. Waits
/// through a wrapper or a manual-reset object never reset it.
///
/// Ownership: only the creating constructor owns the platform event and closes it when
/// destroyed. Wrappers and copies refer to the same event and never close it; once the
/// owner has closed it, their calls fail (0, or 0xFFFFFFFF from a wait) and never reach an
/// event made later. Set, reset and wait may be called from any thread. A named event lives
/// while a live process holds it (a forked child holds its parent's copies). An event that
/// cannot be created ends the process (see reportFatalError).
#ifndef ZOLTOV_CZOLEVENT_H
#define ZOLTOV_CZOLEVENT_H

#include "CZolSyncObject.h"
#include "ZolExport.h"

/// A signalling object that is set, reset and waited on, and the three wait functions that give
/// auto-reset events their behaviour. The full contract is in the description of CZolEvent.h.
class ZOL_API CZolEvent : public CZolSyncObject {
protected:
    long m_hEvent;       ///< platform event handle
    int m_bManualReset;  ///< 0: a successful wait through this library resets the event
    int m_bOwnsHandle;   ///< non-zero: created here, closed by the destructor

public:
    /// Creates a not-set event (name null: unnamed) that this object owns; sets it when
    /// bInitiallySet is non-zero. bManualReset non-zero keeps it set after waits.
    /// Failure to create is fatal (reportFatalError).
    CZolEvent(int bInitiallySet, int bManualReset, const char* name);
    /// Wraps an existing platform event: no name, treated as manual reset (no wait resets
    /// it), not owned (never closed here).
    CZolEvent(long hEvent);
    /// Refers to the same platform event as other, with its name and reset mode; never
    /// closes it.
    CZolEvent(const CZolEvent& other);
    /// Closes the platform event when this object owns it.
    virtual ~CZolEvent();

    /// Waits at most timeout milliseconds (SyncWaitForSingleEvent); 1 when the event was
    /// set (an auto-reset event is then reset), else 0.
    virtual int Lock(long timeout);
    /// Does nothing; returns 1.
    virtual int Unlock();
    /// Does nothing.
    virtual void Trace() const;

    /// Makes this object refer to other's platform event, name and reset mode, without
    /// ownership. If this object owned a different platform event, that event is closed
    /// first so it is not leaked (wrappers and copies of it become invalid).
    CZolEvent& operator=(const CZolEvent& other);
    /// Sets the event, releasing its waiters. 1 on success, else 0.
    int SetEvent();
    /// Clears the event. 1 on success, else 0.
    int ResetEvent();
    /// m_bManualReset: non-zero for a manual-reset event.
    int IsManual();
    /// The platform handle.
    operator long() const;
    /// Reports "Unable to create event; possibly not root or insufficient resources"
    /// through the library's event log and ends the process with exit(1). Never returns.
    void reportFatalError() __attribute__((noreturn));
};

/// @name Wait results
/// What SyncWaitForSingleEvent and SyncWaitForMultipleEvents[Ptr] return. Constants of the
/// header (nothing is exported for them); comparing a result with the number works as well.
///@{
/// Success: the event was set. A wait on several events returns kZolWaitObject0 plus the
/// index of the event that was set.
constexpr unsigned int kZolWaitObject0 = 0;
/// The timeout passed before the event was set (258, 0x102).
constexpr unsigned int kZolWaitTimeout = 258;
/// The wait failed: a bad argument or an event whose handle is closed or 0 (0xFFFFFFFF).
constexpr unsigned int kZolWaitFailed = 0xFFFFFFFFu;
///@}

/// Waits at most timeout milliseconds (low 32 bits; kZolInfinite: for ever) until event is
/// set; resets it afterwards when it is auto-reset. Returns kZolWaitObject0 (0),
/// kZolWaitTimeout (258) on time-out, kZolWaitFailed (0xFFFFFFFF) when the wait failed, or
/// any other platform status unchanged: 0xF010C when the environment has ZOLTOV_DEADLOCK=fail
/// and the wait on a named event would close a cycle of waits (docs/locks.md; the wait-any
/// functions return kZolWaitFailed then).
ZOL_API unsigned int SyncWaitForSingleEvent(CZolEvent& event, long timeout);
/// Waits until any of count events (an array of objects, 1..128) is set. Returns the
/// lowest index of a set event and resets that event only, when it is auto-reset;
/// kZolWaitTimeout (258) on time-out; kZolWaitFailed (0xFFFFFFFF) when the wait failed (count
/// 0 or above 128 included); 0xF0015 when the platform reported a time-out without its
/// no-index marker (this library's platform layer never does).
ZOL_API unsigned int SyncWaitForMultipleEvents(unsigned int count, CZolEvent* events, long timeout);
/// The same over an array of count pointers to events.
ZOL_API unsigned int SyncWaitForMultipleEventsPtr(unsigned int count, CZolEvent** events,
                                                  long timeout);

#endif  // ZOLTOV_CZOLEVENT_H
