#include "client/virtual_ports.h"

#include <string>

#include "config/remote_host.h"
#include "platform/log.h"

namespace tovl {

std::vector<std::shared_ptr<CVirtualPort>> KeepOfferedPorts(
    std::vector<ClientPort>& ports,
    const std::function<std::shared_ptr<CVirtualPort>(uint32_t)>& open) {
    std::vector<std::shared_ptr<CVirtualPort>> made;
    std::vector<ClientPort> served;
    for (ClientPort& port : ports) {
        const uint32_t n = port.LocalPort;
        std::shared_ptr<CVirtualPort> virtualPort = open(n);
        if (!virtualPort) {
            LogLine(LogPriority::Warning,
                    "REMOTEPORT%u is not served: virtual port %u is not offered", n, n);
            continue;
        }
        const std::string server =
            port.ServerHost.empty()
                ? std::string(port.RemoteAddress) + ":" + std::to_string(port.RemoteTcpPort)
                : FormatRemoteHost(RemoteHost{port.ServerHost, port.RemoteTcpPort});
        LogLine(LogPriority::Info, "virtual port %u serves COM%d of %s", n, port.RemoteComPort,
                server.c_str());
        made.push_back(std::move(virtualPort));
        served.push_back(port);
    }
    ports = std::move(served);
    return made;
}

}  // namespace tovl
