#include <cstdio>
#include <string>

#include "config/config_check.h"
#include "config/product_keys.h"
#include "platform/log.h"
#include "platform/registry.h"
#include "server/port_device.h"

namespace tovl {

namespace {

std::string MappedDevice(int portNumber, bool* mapped) {
    *mapped = false;
    if (portNumber < 1) return {};
    char name[32];
    snprintf(name, sizeof name, "COM%d", portNumber);
    CRegKey key;
    if (key.OpenLocalMachine(kDevicesKey) == 0) {
        char data[512] = {};
        uint32_t size = sizeof data - 1;
        *mapped = key.QueryValue(name, data, &size) == 0 && data[0] != '\0';
        if (*mapped) return data;
    }
    return "/dev/ttyS" + std::to_string(portNumber - 1);
}

}  // namespace

std::string ResolvePortDevice(int portNumber) {
    bool mapped = false;
    return MappedDevice(portNumber, &mapped);
}

std::shared_ptr<CSerialPort> OpenPortDevice(int portNumber, CStatus* status) {
    bool mapped = false;
    const std::string device = MappedDevice(portNumber, &mapped);
    if (!mapped && portNumber >= 1)
        LogLine(LogPriority::Notice, "COM%d has no value in HKEY_LOCAL_MACHINE\\%s: using %s",
                portNumber, kDevicesKey, device.c_str());
    std::shared_ptr<CSerialPort> port = OpenSerialPort(device, status);
    const uint32_t error = status->Error();
    // Only causes the check can put in words; a busy device is told by the
    // exclusive open, which knows the holder.
    if (!port && (error == kErrorFileNotFound || error == kErrorNotSupported)) {
        const std::string problem = ExplainDevice(device);
        if (!problem.empty())
            LogLine(LogPriority::Notice, "COM%d: %s", portNumber, problem.c_str());
    }
    return port;
}

}  // namespace tovl
