// Trace lines, an exception raised from an error code, and the library's event log.
#include <zoltov/zoltov.h>

int main() {
    __ZolTrace("starting %s", "guide example");  // one line on standard output
    int caught = 0;
    try {
        char file[] = __FILE__;
        CZolException::RiseZolTovException(7, file, __LINE__);  // code 0 returns 0
    } catch (const CZolException& e) {
        caught = e.m_nErrorCode;
    }
    // To syslog (LOG_INFO for type 3) and, as a copy, to standard output.
    CZolTovEventLog log;
    log.ZolReportEvent(3, "guide example caught code %d", caught);
    return caught == 7 ? 0 : 1;
}
