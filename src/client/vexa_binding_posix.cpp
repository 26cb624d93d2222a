// POSIX: the client's own pseudo-terminal ports, one per VPORT<n> value of
// Software\Dravik\TOVL\VirtualPorts (the value holds the link path).
#include <cstdio>
#include <string>

#include "client/posix/link_janitor_posix.h"
#include "client/posix/pty_port_provider_posix.h"
#include "client/vexa_binding.h"
#include "config/config_check.h"
#include "config/product_keys.h"
#include "platform/log.h"
#include "platform/registry.h"

namespace tovl {

void StartVexaBinding() {
    // Lives for the whole process, as the driver it stands for: pumps may
    // use it to the last moment.
    static auto* provider = new CPtyPortProvider;  // NOLINT(cppcoreguidelines-owning-memory)
    static CLinkJanitor janitor;
    janitor.Start();
    provider->OnLinkPlaced(
        [](const std::string& link, const std::string& target) { janitor.Add(link, target); });
    CRegKey key;
    if (key.OpenLocalMachine(kVirtualPortsKey, kKeyAllAccess) == 0) {
        for (uint32_t n = 1; n <= kVexaMaxPort; ++n) {
            char name[32];
            snprintf(name, sizeof name, "VPORT%u", n);
            char path[1024] = {};
            uint32_t size = sizeof path;
            if (key.QueryValue(name, path, &size) != 0 || path[0] == '\0') continue;
            path[sizeof path - 1] = '\0';
            if (provider->AddPort(n, path)) {
                LogLine(LogPriority::Info, "virtual port %u offered at %s", n, path);
            } else {
                const std::string problem = ExplainLinkPath(path);
                LogLine(LogPriority::Warning, "virtual port %u not offered at %s%s%s", n, path,
                        problem.empty() ? "" : ": ", problem.c_str());
            }
        }
    }
    provider->Start();
    SetVexaBinding(provider);
}

}  // namespace tovl
