// Placeholders for platform operations not implemented yet: each refuses with a status.
// Remove a function from here when its real implementation lands.
#include "qel.h"

extern "C" {
QEL_STATUS qelAttachShMem(const char*, long*, void**) {
    return QEL_E_NOT_IMPLEMENTED;
}
QEL_STATUS qelAllocShMem(const char*, unsigned int, long*, void**) {
    return QEL_E_NOT_IMPLEMENTED;
}
QEL_STATUS qelDetachShMem(long*, void**) {
    return QEL_E_NOT_IMPLEMENTED;
}
QEL_STATUS qelDeallocShMem(long*, void**) {
    return QEL_E_NOT_IMPLEMENTED;
}
}
