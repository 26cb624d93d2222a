#include "client/vexa_binding.h"
#include "client/vexa_control_device.h"

namespace tovl {

void StartVexaBinding() {
    static CVexaControlDevice device(VexaSystemDeviceApi());
    SetVexaBinding(&device);
}

}  // namespace tovl
