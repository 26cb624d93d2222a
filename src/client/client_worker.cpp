// No virtual port is served yet: the worker finds no configured port and
// returns, as it does for an empty configuration.
#include "client/client_worker.h"

uint32_t ClientWorkerThread(void* /*param*/) {
    return 0;
}
