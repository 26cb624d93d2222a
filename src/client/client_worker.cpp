// The client's worker: reads the port list, has the platform make the
// virtual ports it names, and hands both to the session manager, which
// serves them.
#include "client/client_worker.h"

#include "client/client_config.h"
#include "client/session_manager.h"
#include "client/virtual_ports.h"

namespace tovl {

uint32_t ClientWorkerThread(void* /*param*/) {
    std::vector<ClientPort> ports = ReadClientConnections();
    std::vector<std::shared_ptr<CVirtualPort>> virtualPorts = MakeVirtualPorts(ports);
    // The one owner of the client's state for the life of the process.
    CSessionManager manager(std::move(ports), std::move(virtualPorts));
    manager.Run();
    return 0;
}

}  // namespace tovl
