#include "CZolEventLog.h"
#include "detail/ZolFormat.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>

#include "qelThreadSafety.h"

CZolEventLog::CZolEventLog() : m_strModule("ZolTov.dll"), m_strLogFile("Application") {}

CZolEventLog::~CZolEventLog() {}

void CZolEventLog::SetSource(const char* source) {
    m_strSource = source ? source : "";
    registerSource();
}

void CZolEventLog::SetLogFile(const char* logFile) {
    m_strLogFile = logFile ? logFile : "";
    registerSource();
}

void CZolEventLog::registerSource() {}

namespace {
int syslogPriorityOf(unsigned short type) {
    switch (type) {
        case 1:
            return LOG_ERR;
        case 3:
            return LOG_INFO;
        default:  // 2 (warning) and every unknown type
            return LOG_WARNING;
    }
}

// Reports of all event logs go through one private lock, held across fork: glibc does not
// reset syslog's lock (nor a stdio stream's) in a child, so a fork while another thread was
// inside syslog would leave the child's first report waiting for ever.
qel::Mutex s_reportLock;

void lockReports() QEL_ACQUIRE(s_reportLock) {
    s_reportLock.Lock();
}
void unlockReports() QEL_RELEASE(s_reportLock) {
    s_reportLock.Unlock();
}
// Registered when the library is loaded, while one thread runs: a registration on first use
// sat under a function-local static's guard, and a fork while another thread was inside it
// left the guard taken for ever in the child.
[[maybe_unused]] const int s_forkHandlersRegistered =
    pthread_atfork(lockReports, unlockReports, unlockReports);
}  // namespace

int CZolEventLog::ZolReportEvent(unsigned short type, const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    zolFormatV(buffer, format, args);
    va_end(args);
    CZolString text(buffer);
    int length = text.GetLength();
    if (length == 0 || text.GetAt(length - 1) != '\n') {
        text += '\n';
    }
    // "%s": the message is data; a percent sign in it must not be read as a conversion.
    lockReports();
    syslog(syslogPriorityOf(type), "%s", text.c_str());
    fputs(text.c_str(), stdout);
    fflush(stdout);
    unlockReports();
    return 1;
}
