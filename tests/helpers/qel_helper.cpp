// A separate program for the platform tests: it reaches named objects only by name.
//   qel_helper lock-named <name> <timeout-ms>   lock and unlock the named mutex; 0 on success
//   qel_helper set-event <name>                 set the named event; 0 on success
#include <stdlib.h>
#include <string.h>

#include "qel.h"

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "lock-named") == 0) {
        long mutex = 0;
        if (qelOpenMutex(argv[2], &mutex) != QEL_OK)
            return 1;
        if (qelLockMutex(mutex, 0) != QEL_E_TIMEOUT)
            return 2;  // the test holds it
        if (qelLockMutex(mutex, atol(argv[3])) != QEL_OK)
            return 3;
        if (qelUnlockMutex(mutex) != QEL_OK)
            return 4;
        return qelCloseMutex(&mutex) == QEL_OK ? 0 : 5;
    }
    if (argc == 3 && strcmp(argv[1], "set-event") == 0) {
        long event = 0;
        if (qelCreateEvent(argv[2], &event) != QEL_OK)
            return 1;
        if (qelSetEvent(event) != QEL_OK)
            return 2;
        return qelCloseEvent(&event) == QEL_OK ? 0 : 3;
    }
    return 100;
}
