#include "CZolEvent.h"

#include <stdlib.h>

#include "CZolTovEventLog.h"
#include "qel.h"

namespace {
constexpr unsigned int kWaitTimeout = 258;
constexpr unsigned int kWaitFailed = 0xFFFFFFFFu;
constexpr unsigned int kNoIndex = 0xFFFFFFFFu;

template <typename EventAt>
unsigned int waitForAny(unsigned int count, EventAt eventAt, long timeout) {
    long* handles = new long[count];
    for (unsigned int i = 0; i < count; ++i) {
        handles[i] = static_cast<long>(eventAt(i));
    }
    unsigned int index = kNoIndex;
    QEL_STATUS status = qelWaitEvents(handles, count, &index, static_cast<unsigned int>(timeout));
    delete[] handles;
    if (status == QEL_OK) {
        if (index >= count) {  // never from a sound platform; do not index past the array
            return kWaitFailed;
        }
        CZolEvent& chosen = eventAt(index);
        if (!chosen.IsManual()) {
            chosen.ResetEvent();
        }
        return index;
    }
    if (status == QEL_E_TIMEOUT) {
        return index == kNoIndex ? kWaitTimeout : QEL_E_TIMEOUT;
    }
    return kWaitFailed;
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
    return SyncWaitForSingleEvent(*this, timeout) == 0 ? 1 : 0;
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
    CZolTovEventLog::ReportTovError(
        "Unable to create event; possibly not root or insufficient resources");
    exit(1);
}

unsigned int SyncWaitForSingleEvent(CZolEvent& event, long timeout) {
    QEL_STATUS status = qelWaitEvent(static_cast<long>(event), static_cast<unsigned int>(timeout));
    if (status == QEL_E_TIMEOUT) {
        return kWaitTimeout;
    }
    if (status == QEL_E_WAIT_FAILED) {
        return kWaitFailed;
    }
    if (status != QEL_OK) {
        return status;
    }
    if (!event.IsManual()) {
        event.ResetEvent();
    }
    return 0;
}

unsigned int SyncWaitForMultipleEvents(unsigned int count, CZolEvent* events, long timeout) {
    return waitForAny(
        count, [events](unsigned int i) -> CZolEvent& { return events[i]; }, timeout);
}

unsigned int SyncWaitForMultipleEventsPtr(unsigned int count, CZolEvent** events, long timeout) {
    return waitForAny(
        count, [events](unsigned int i) -> CZolEvent& { return *events[i]; }, timeout);
}
