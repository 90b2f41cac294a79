#include "CZolTovEventLog.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "detail/ZolLoadOrder.h"
#include "detail/ZolFatalError.h"
#include "detail/ZolFormat.h"
#include "qel.h"

// Second of the three load-time objects (after g_Tracer, before theModule). Each object
// registers its destructor when it is constructed, so unload destroys them in reverse.
CZolTovEventLog CZolTovEventLog::m_ZolTovEventLog ZOL_LOAD_ORDER(ZOL_LOAD_ORDER_EVENTLOG);

void zolReportFatalError(const char* object) {
    CZolTovEventLog::ReportTovError(
        "Unable to create %s; possibly not root or insufficient resources", object);
    // The platform's reason, when it knows one the fixed message would hide (a directory
    // taken by another user, another PID namespace).
    const char* reason = qelFailureReason();
    if (reason[0] != '\0') {
        CZolTovEventLog::ReportTovError("%s", reason);
    }
    exit(1);
}

int CZolTovEventLog::ReportTovError(const char* format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, format);
    zolFormatV(buffer, format, args);
    va_end(args);
    return m_ZolTovEventLog.ZolReportEvent(1, "%s", buffer);
}
