// The platform's set of virtual ports: on Windows the driver's ports, on
// POSIX the client's own pseudo-terminal ports (made from the registry's
// VirtualPorts key). Called once by the worker, before the session manager
// is built; the ports it makes live for the rest of the process.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "client/client_port.h"
#include "client/virtual_port.h"

namespace tovl {

// The virtual port of each configured port, in the same order. A configured
// port whose virtual port is not offered is left out of `ports` (logged);
// each one served is logged with its remote end.
std::vector<std::shared_ptr<CVirtualPort>> MakeVirtualPorts(std::vector<ClientPort>& ports);

// The part of MakeVirtualPorts common to the platforms: `open` gives virtual
// port n, or null when it is not offered.
std::vector<std::shared_ptr<CVirtualPort>> KeepOfferedPorts(
    std::vector<ClientPort>& ports,
    const std::function<std::shared_ptr<CVirtualPort>(uint32_t)>& open);

}  // namespace tovl
