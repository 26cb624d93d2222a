#include <cstdio>
#include <string>

#include "config/product_keys.h"
#include "platform/registry.h"
#include "server/port_device.h"

namespace tovl {

std::string ResolvePortDevice(int portNumber) {
    if (portNumber < 1) return {};
    char name[32];
    snprintf(name, sizeof name, "COM%d", portNumber);
    CRegKey key;
    if (key.OpenLocalMachine(kDevicesKey) == 0) {
        char data[512] = {};
        uint32_t size = sizeof data - 1;
        if (key.QueryValue(name, data, &size) == 0 && data[0] != '\0') return data;
    }
    return "/dev/ttyS" + std::to_string(portNumber - 1);
}

}  // namespace tovl
