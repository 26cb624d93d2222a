// The client's worker: brings up the virtual port provider of this platform,
// reads the port list and serves it.
#include "client/client_worker.h"

#include "client/client_config.h"
#include "client/session_manager.h"
#include "client/vexa_binding.h"

namespace tovl {

uint32_t ClientWorkerThread(void* /*param*/) {
    StartVexaBinding();
    ReadClientConnections();
    RunPortLoop();
    return 0;
}

}  // namespace tovl
