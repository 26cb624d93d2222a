// One redirected virtual port as the configuration gives it: which virtual
// port, and which real port of which server. Made by ReadClientConnections;
// the session manager owns the list and it does not change once the manager
// runs.
#pragma once

#include <cstdint>
#include <string>

namespace tovl {

struct ClientPort {
    uint32_t LocalPort = 0;
    char RemoteAddress[32] = {};
    uint16_t RemoteTcpPort = 0;
    int32_t RemoteComPort = 0;
    // The server by host name or IPv6 address (REMOTEHOST<n>), resolved at
    // each session's set-up, on RemoteTcpPort; empty: RemoteAddress.
    std::string ServerHost;
};

}  // namespace tovl
