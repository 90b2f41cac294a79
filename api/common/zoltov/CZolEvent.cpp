#include "CZolEvent.h"

#include <stdlib.h>

#include "detail/ZolFatalError.h"
#include "qel.h"

namespace {
constexpr unsigned int kNoIndex = 0xFFFFFFFFu;

// The wait and the reset of an auto-reset event are one platform step, so one SetEvent
// releases exactly one waiter. A null array or entry, a closed event (handle 0) and a count
// of 0 are failed waits.
template <typename EventAt>
unsigned int waitForAny(unsigned int count, EventAt eventAt, long timeout) {
    if (count == 0 || count > QEL_MAX_WAIT_EVENTS) {
        return kZolWaitFailed;
    }
    long handles[QEL_MAX_WAIT_EVENTS];
    unsigned char reset[QEL_MAX_WAIT_EVENTS];
    for (unsigned int i = 0; i < count; ++i) {
        CZolEvent* event = eventAt(i);
        if (event == nullptr) {
            return kZolWaitFailed;
        }
        handles[i] = static_cast<long>(*event);
        reset[i] = event->IsManual() ? 0 : 1;
    }
    unsigned int index = kNoIndex;
    QEL_STATUS status =
        qelWaitEventsAndReset(handles, reset, count, &index, static_cast<unsigned int>(timeout));
    if (status == QEL_OK) {
        return index < count ? index : kZolWaitFailed;  // never past the array
    }
    if (status == QEL_E_TIMEOUT) {
        return index == kNoIndex ? kZolWaitTimeout : QEL_E_TIMEOUT;
    }
    return kZolWaitFailed;
}
}  // namespace

CZolEvent::CZolEvent(int bInitiallySet, int bManualReset, const char* name)
    : CZolSyncObject(name), m_hEvent(0), m_bManualReset(bManualReset), m_bOwnsHandle(1) {
    if (qelCreateEvent(name, &m_hEvent) != QEL_OK) {
        reportFatalError();
    }
    if (bInitiallySet) {
        SetEvent();
    }
}

CZolEvent::CZolEvent(long hEvent)
    : CZolSyncObject(nullptr), m_hEvent(hEvent), m_bManualReset(1), m_bOwnsHandle(0) {}

CZolEvent::CZolEvent(const CZolEvent& other)
    : CZolSyncObject(other.m_strName.c_str()),
      m_hEvent(other.m_hEvent),
      m_bManualReset(other.m_bManualReset),
      m_bOwnsHandle(0) {}

CZolEvent::~CZolEvent() {
    if (m_bOwnsHandle) {
        qelCloseEvent(&m_hEvent);
    }
}

CZolEvent& CZolEvent::operator=(const CZolEvent& other) {
    if (this == &other) {
        return *this;
    }
    if (m_bOwnsHandle && m_hEvent != other.m_hEvent) {
        qelCloseEvent(&m_hEvent);
    }
    m_strName = other.m_strName;
    m_bManualReset = other.m_bManualReset;
    m_hEvent = other.m_hEvent;
    m_bOwnsHandle = 0;
    return *this;
}

int CZolEvent::Lock(long timeout) {
    return SyncWaitForSingleEvent(*this, timeout) == kZolWaitObject0 ? 1 : 0;
}

int CZolEvent::Unlock() {
    return 1;
}

void CZolEvent::Trace() const {}

int CZolEvent::SetEvent() {
    return qelSetEvent(m_hEvent) == QEL_OK ? 1 : 0;
}

int CZolEvent::ResetEvent() {
    return qelResetEvent(m_hEvent) == QEL_OK ? 1 : 0;
}

int CZolEvent::IsManual() {
    return m_bManualReset;
}

CZolEvent::operator long() const {
    return m_hEvent;
}

void CZolEvent::reportFatalError() {
    zolReportFatalError("event");
}

unsigned int SyncWaitForSingleEvent(CZolEvent& event, long timeout) {
    const long handle = static_cast<long>(event);
    const unsigned int ms = static_cast<unsigned int>(timeout);
    QEL_STATUS status =
        event.IsManual() ? qelWaitEvent(handle, ms) : qelWaitEventAndReset(handle, ms);
    if (status == QEL_E_TIMEOUT) {
        return kZolWaitTimeout;
    }
    if (status == QEL_E_WAIT_FAILED) {
        return kZolWaitFailed;
    }
    return status;  // 0, or another platform status unchanged
}

unsigned int SyncWaitForMultipleEvents(unsigned int count, CZolEvent* events, long timeout) {
    return waitForAny(
        count, [events](unsigned int i) { return events != nullptr ? &events[i] : nullptr; },
        timeout);
}

unsigned int SyncWaitForMultipleEventsPtr(unsigned int count, CZolEvent** events, long timeout) {
    return waitForAny(
        count, [events](unsigned int i) { return events != nullptr ? events[i] : nullptr; },
        timeout);
}
