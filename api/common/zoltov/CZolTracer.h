/// @file
/// CZolTracer.h - the replaceable sink for trace lines, trace text, failed assertions and
/// thrown errors, all written to standard output.
///
/// Every operation of one tracer is serialised by a mutex the tracer owns, created on
/// first use (safely when several threads make their first call at once), so lines written
/// by several threads never interleave. Two tracers do not exclude each other. A client may
/// derive a tracer, override the four virtual operations and install it as the default.
///
/// Thread safety: every operation may be called from any thread, on one tracer or several;
/// the destructor only when no other operation is running.
///
/// Fork: g_Tracer's and the default tracer's locks are held across fork(), so a child forked
/// while another thread traces through them can trace at once (its first trace waits only
/// until the parent has let go of the lock, which it shares with the parent). Another
/// tracer's lock is not: fork while no thread uses it.
#ifndef ZOLTOV_CZOLTRACER_H
#define ZOLTOV_CZOLTRACER_H

#include "CZolMutex.h"
#include "ZolExport.h"

/// The replaceable sink for trace lines, trace text, failed assertions and thrown errors, all
/// written to standard output. The full contract is in the description of CZolTracer.h.
class ZOL_API CZolTracer {
protected:
    CZolMutex* m_pMutex;  ///< owned; null until the first locked operation

public:
    /// The process-wide default tracer; &g_Tracer until SetDefaultTracer changes it.
    /// Written under the lock of the tracer SetDefaultTracer is called on, read unlocked.
    static CZolTracer* g_pTracer;

    /// Creates no mutex.
    CZolTracer();
    /// Destroys the mutex if one was created (g_Tracer keeps it for threads still tracing
    /// while the process exits). No other operation may be running.
    virtual ~CZolTracer();
    /// Not copyable: two tracers would delete one mutex.
    CZolTracer(const CZolTracer&) = delete;
    CZolTracer& operator=(const CZolTracer&) = delete;

    /// Writes "file: FILE line: LINE. TEXT" (the arguments in place of the capitals) followed
    /// by an empty line (two newlines) through __ZolTrace.
    virtual void TraceLine(const char* text, const char* file, unsigned short line);
    /// Formats like printf into 512 bytes (longer text is cut to 511 characters) and writes
    /// the text unchanged; no newline is added.
    virtual void Trace(const char* format, ...) __attribute__((format(printf, 2, 3)));
    /// Writes "\aFAILED ASSERTION EXPRESSION (FILE  line LINE)" and a newline, then
    /// stops the process with SIGFPE (an integer division by zero): no exit handlers run.
    /// Never returns; the lock is never released.
    virtual void Assert(char* expression, char* file, unsigned int line);
    /// Writes "ERROR: 'FILE' 'LINE'" and a newline, then throws code as an exception of
    /// type unsigned int. The lock is released as the exception leaves.
    virtual void Throw(unsigned int code, char* file, int line);

    /// Under this tracer's lock, makes pTracer (not owned; must outlive its use) the
    /// process-wide default in g_pTracer.
    void SetDefaultTracer(CZolTracer* pTracer);

protected:
    /// The tracer's mutex, created on first call.
    __attribute__((visibility("hidden"))) CZolMutex* lockMutex();
};

/// The library's tracer, the first of its load-time objects (constructed before the event
/// log and the module object, destroyed after them).
extern ZOL_API CZolTracer g_Tracer;

#endif  // ZOLTOV_CZOLTRACER_H
