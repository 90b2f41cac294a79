// The one program the tests exec, for a truly fresh process (its environment read at start,
// nothing inherited from the test): it reaches named objects only by name.
//   qel_helper lock-named <name> <timeout-ms>   check the named mutex is held, set the named
//                                               event <name>-ready, then lock and unlock it
//   qel_helper set-event <name>                 set the named event; 0 on success
//   qel_helper wait-event <name> <timeout-ms>   wait for the named event through wait-any
#include <stdlib.h>
#include <string.h>

#include <string>

#include "qel.h"

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "lock-named") == 0) {
        long mutex = 0;
        if (qelOpenMutex(argv[2], &mutex) != QEL_OK)
            return 1;
        if (qelLockMutex(mutex, 0) != QEL_E_TIMEOUT)
            return 2;  // the test holds it
        // Tell the test (named event "<name>-ready") that it may release the mutex now.
        long ready = 0;
        std::string readyName = std::string(argv[2]) + "-ready";
        if (qelCreateEvent(readyName.c_str(), &ready) != QEL_OK)
            return 6;
        qelSetEvent(ready);
        qelCloseEvent(&ready);
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
    if (argc == 4 && strcmp(argv[1], "wait-event") == 0) {
        long event = 0;
        if (qelCreateEvent(argv[2], &event) != QEL_OK)
            return 1;
        unsigned int index = 0;
        QEL_STATUS status = qelWaitEvents(&event, 1, &index, static_cast<unsigned>(atol(argv[3])));
        qelCloseEvent(&event);
        return status == QEL_OK && index == 0 ? 0 : 2;
    }
    return 100;
}
