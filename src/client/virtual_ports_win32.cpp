// Windows: the driver's virtual ports, reached through its control device.
#include "client/vexa_control_device.h"
#include "client/vexa_port.h"
#include "client/virtual_ports.h"

namespace tovl {

std::vector<std::shared_ptr<CVirtualPort>> MakeVirtualPorts(std::vector<ClientPort>& ports) {
    static CVexaControlDevice device(VexaSystemDeviceApi());
    SetVexaBinding(&device);
    return KeepOfferedPorts(ports, OfferedVexaPort);
}

}  // namespace tovl
