// The one program the tests exec, for a truly fresh process (its environment read at start,
// nothing inherited from the test): it reaches a named event only by its name.
//   qel_helper <name>               sets the named event; 0 on success
//   qel_helper <name> <timeout-ms>  waits for the named event through wait-any; 0 when set
//   qel_helper <name> <timeout-ms> segment
//                                   waits so, connected to the segment <name> meanwhile
// A name it may not open ends it with 1, or 3 when the event is of another PID namespace,
// after a line on standard error that tells why.
#include <stdio.h>
#include <stdlib.h>

#include <memory>

#include "CZolSharedMemory.h"
#include "qel.h"

int main(int argc, char** argv) {
    long event = 0;
    unsigned int index = 0;
    QEL_STATUS opened = argc < 2 || argc > 4 ? QEL_E_INVALID : qelCreateEvent(argv[1], &event);
    std::unique_ptr<CZolSharedMemory> segment(argc == 4 ? new CZolSharedMemory(argv[1], 16)
                                                        : nullptr);
    if (opened != QEL_OK)
        return fprintf(stderr, "%s\n", qelFailureReason()), opened == QEL_E_NAMESPACE ? 3 : 1;
    QEL_STATUS status =
        argc == 2 ? qelSetEvent(event) : qelWaitEvents(&event, 1, &index, atol(argv[2]));
    qelCloseEvent(&event);
    return status == QEL_OK && index == 0 ? 0 : 2;
}
