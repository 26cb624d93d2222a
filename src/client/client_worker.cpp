// The client's worker: brings up the virtual port provider of this platform,
// reads the port list and hands it to the session manager, which serves it.
#include "client/client_worker.h"

#include "client/client_config.h"
#include "client/session_manager.h"
#include "client/vexa_binding.h"

namespace tovl {

uint32_t ClientWorkerThread(void* /*param*/) {
    StartVexaBinding();
    // The one owner of the client's state for the life of the process.
    CSessionManager manager(ReadClientConnections());
    manager.Run();
    return 0;
}

}  // namespace tovl
