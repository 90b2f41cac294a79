// In-place upper-casing for the library's strings.
#include <ctype.h>

#include "qel.h"

extern "C" char* qelStrupr(char* text) {
    for (char* p = text; *p != '\0'; ++p) {
        *p = static_cast<char>(toupper(static_cast<int>(*p)));
    }
    return text;
}
