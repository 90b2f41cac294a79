// ZolFatalError.h - internal: the one fatal-error report of the classes that cannot create
// an operating-system object (mutexes, events, shared memory).
#ifndef ZOLTOV_DETAIL_ZOLFATALERROR_H
#define ZOLTOV_DETAIL_ZOLFATALERROR_H

// Reports "Unable to create <object>; possibly not root or insufficient resources" through
// the library's event log (system log and standard output), then ends the process with
// exit(1). object is "mutex", "event" or "shared memory".
[[noreturn]] void zolReportFatalError(const char* object);

#endif  // ZOLTOV_DETAIL_ZOLFATALERROR_H
