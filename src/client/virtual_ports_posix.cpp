// POSIX: the client's own pseudo-terminal ports, one per VPORT<n> value of
// Software\Dravik\TOVL\VirtualPorts (the value holds the link path).
#include <cstdio>
#include <string>

#include "client/posix/link_janitor_posix.h"
#include "client/posix/pty_port_provider_posix.h"
#include "client/virtual_ports.h"
#include "config/config_check.h"
#include "config/product_keys.h"
#include "platform/log.h"
#include "platform/registry.h"

namespace tovl {

namespace {

void AddConfiguredPorts(CPtyPortProvider& provider) {
    CRegKey key;
    if (key.OpenLocalMachine(kVirtualPortsKey, kKeyAllAccess) != 0) return;
    for (uint32_t n = 1; n <= kPtyMaxPort; ++n) {
        char name[32];
        snprintf(name, sizeof name, "VPORT%u", n);
        char path[1024] = {};
        uint32_t size = sizeof path;
        if (key.QueryValue(name, path, &size) != 0 || path[0] == '\0') continue;
        path[sizeof path - 1] = '\0';
        if (provider.AddPort(n, path)) {
            LogLine(LogPriority::Info, "virtual port %u offered at %s", n, path);
        } else {
            const std::string problem = ExplainLinkPath(path);
            LogLine(LogPriority::Warning, "virtual port %u not offered at %s%s%s", n, path,
                    problem.empty() ? "" : ": ", problem.c_str());
        }
    }
}

}  // namespace

std::vector<std::shared_ptr<CVirtualPort>> MakeVirtualPorts(std::vector<ClientPort>& ports) {
    // Lives for the whole process, as do its ports: pumps may use them to
    // the last moment.
    static auto* provider = new CPtyPortProvider;  // NOLINT(cppcoreguidelines-owning-memory)
    static CLinkJanitor janitor;
    janitor.Start();
    provider->OnLinkPlaced(
        [](const std::string& link, const std::string& target) { janitor.Add(link, target); });
    AddConfiguredPorts(*provider);
    provider->Start();
    // The ports are the set's: the session manager shares them.
    return KeepOfferedPorts(
        ports, [](uint32_t n) -> std::shared_ptr<CVirtualPort> { return provider->Port(n); });
}

}  // namespace tovl
