/// @file
/// CZolTovEventLog.h - the library's own event log, through which its classes report the
/// fatal errors that end the process.
#ifndef ZOLTOV_CZOLTOVEVENTLOG_H
#define ZOLTOV_CZOLTOVEVENTLOG_H

#include "CZolEventLog.h"
#include "ZolExport.h"

/// The library's own event log, through which its classes report the fatal errors that end the
/// process. The full contract is in the description of CZolTovEventLog.h.
class ZOL_API CZolTovEventLog : public CZolEventLog {
public:
    /// The library's event log: constructed at load time after g_Tracer and before
    /// theModule, destroyed at unload in the reverse order, so it is usable from the
    /// first call any client makes.
    static CZolTovEventLog m_ZolTovEventLog;

    /// Formats like printf and reports the text through m_ZolTovEventLog as an error
    /// (type 1, LOG_ERR). Returns ZolReportEvent's result, always 1. Any thread.
    static int ReportTovError(const char* format, ...) __attribute__((format(printf, 1, 2)));
};

#endif  // ZOLTOV_CZOLTOVEVENTLOG_H
