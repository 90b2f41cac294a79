/// @file
/// CZolEventLog.h - reports messages about the operating environment to the system log
/// and, as a copy, to standard output.
///
/// Thread safety: the object holds no lock of its own. Reporting may run on any thread at any
/// time; each report is one syslog call and one write to standard output, made under one
/// private lock shared by all event logs, so lines of different threads never mix and come in
/// the same order in both outputs. That lock is held across fork(), so a child forked while
/// another thread reports can report too. SetSource and SetLogFile change the object and
/// must not race with each other.
#ifndef ZOLTOV_CZOLEVENTLOG_H
#define ZOLTOV_CZOLEVENTLOG_H

#include "CZolString.h"
#include "ZolExport.h"

/// Reports messages about the operating environment to the system log and, as a copy, to
/// standard output. The full contract is in the description of CZolEventLog.h.
class ZOL_API CZolEventLog {
protected:
    /// Names of the calling program's event source and log; kept for callers, not used
    /// when reporting on this platform.
    CZolString m_strModule;   ///< "ZolTov.dll"
    CZolString m_strSource;   ///< empty until SetSource
    CZolString m_strLogFile;  ///< "Application"

public:
    /// Sets the three names to their defaults.
    CZolEventLog();
    virtual ~CZolEventLog();

    /// Stores the event source name (null stores the empty string), then registerSource().
    void SetSource(const char* source);
    /// Stores the log name (null stores the empty string), then registerSource().
    void SetLogFile(const char* logFile);
    /// Registers the source with the system; there is nothing to register here.
    void registerSource();
    /// Formats like printf into 512 bytes (longer text is cut to 511 characters), adds a
    /// newline unless the text already ends in one (an empty text becomes "\n"), and
    /// sends the text to syslog as plain text with the priority of the type:
    /// 1 error -> LOG_ERR, 2 warning -> LOG_WARNING, 3 information -> LOG_INFO, any other
    /// -> LOG_WARNING. openlog is never called: the process's default identity and
    /// facility apply. The same text is then written to standard output. Always returns 1.
    int ZolReportEvent(unsigned short type, const char* format, ...)
        __attribute__((format(printf, 3, 4)));
};

#endif  // ZOLTOV_CZOLEVENTLOG_H
