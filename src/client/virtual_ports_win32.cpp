// Windows: the driver's virtual ports, reached through its control device.
#include "client/virtual_ports.h"
#include "client/win32/vexa_control_device.h"
#include "client/win32/vexa_port.h"

namespace tovl {

std::vector<std::shared_ptr<CVirtualPort>> MakeVirtualPorts(std::vector<ClientPort>& ports) {
    static CVexaControlDevice device(VexaSystemDeviceApi());
    SetVexaBinding(&device);
    return KeepOfferedPorts(ports, OfferedVexaPort);
}

}  // namespace tovl
