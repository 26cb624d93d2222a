#include <cstdio>
#include <string>

#include "server/port_device.h"

namespace tovl {

// The port is opened by its plain name, as the system always has: COM1 to
// COM9 without the device-namespace prefix.
std::string ResolvePortDevice(int portNumber) {
    char name[32];
    snprintf(name, sizeof name, "COM%d", portNumber);
    return name;
}

std::shared_ptr<CSerialPort> OpenPortDevice(int portNumber, CStatus* status) {
    return OpenSerialPort(ResolvePortDevice(portNumber), status);
}

}  // namespace tovl
