#include "server/rfc2217_listener.h"

#include <cstring>
#include <memory>

#include "config/com_value.h"
#include "config/product_keys.h"
#include "net/blocking_socket.h"
#include "platform/log.h"
#include "platform/registry.h"
#include "platform/socket_api.h"
#include "platform/thread.h"
#include "server/accept_loop.h"
#include "server/raw_session.h"
#include "server/rfc2217_session.h"
#include "server/session_registry.h"

namespace tovl {

bool ParseRfc2217Value(const std::string& name, const std::string& data, int* portNumber,
                       uint16_t* tcpPort) {
    uint32_t n = 0;
    if (!ParseComValueName(name, &n) || !ParseRfc2217Port(data, tcpPort)) return false;
    *portNumber = static_cast<int>(n);
    return true;
}

std::vector<std::pair<int, uint16_t>> ReadRfc2217Ports() {
    std::vector<std::pair<int, uint16_t>> ports;
    CRegKey key;
    if (key.OpenLocalMachine(kRfc2217Key) != 0) return ports;
    std::string name;
    for (uint32_t i = 0; key.EnumValueName(i, &name) == 0; ++i) {
        char data[32] = {};
        uint32_t size = sizeof data - 1;
        if (key.QueryValue(name.c_str(), data, &size) != 0) continue;
        int portNumber = 0;
        uint16_t tcpPort = 0;
        if (ParseRfc2217Value(name, std::string(data, size), &portNumber, &tcpPort))
            ports.emplace_back(portNumber, tcpPort);
        else
            LogLine(LogPriority::Warning, "rfc2217: value %s is not COM<n> = TCP port",
                    name.c_str());
    }
    return ports;
}

std::vector<RawPort> ReadRawPorts() {
    std::vector<RawPort> ports;
    CRegKey key;
    if (key.OpenLocalMachine(kRawKey) != 0) return ports;
    std::string name;
    for (uint32_t i = 0; key.EnumValueName(i, &name) == 0; ++i) {
        char data[64] = {};
        uint32_t size = sizeof data - 1;
        RawPort port;
        uint32_t n = 0;
        std::string why = "the name is not COM<n>";
        if (key.QueryValue(name.c_str(), data, &size) == 0 && ParseComValueName(name, &n) &&
            ParseRawValue(std::string(data, strnlen(data, size)), &port.tcpPort, &port.line,
                          &why)) {
            port.portNumber = static_cast<int>(n);
            ports.push_back(port);
        } else {
            LogLine(LogPriority::Warning, "raw: value %s ignored: %s", name.c_str(), why.c_str());
        }
    }
    return ports;
}

int StartRfc2217Listeners() {
    int listening = 0;
    // A stranger has no reply to wait for on these: it is closed at once.
    AcceptLoopLimits limits;
    limits.closeUnlisted = true;
    for (const auto& [portNumber, tcpPort] : ReadRfc2217Ports()) {
        const int n = portNumber;
        if (StartListenerThread(
                tcpPort, "rfc2217 COM" + std::to_string(n),
                [n](CBlockingSocket& connection, const SessionAdmission& admission) {
                    RunRfc2217Session(connection, n, admission);
                },
                limits)) {
            RegisterListener(ListenerInfo{"rfc2217", tcpPort, n});
            ++listening;
        }
    }
    for (const RawPort& raw : ReadRawPorts()) {
        if (StartListenerThread(
                raw.tcpPort, "raw COM" + std::to_string(raw.portNumber),
                [raw](CBlockingSocket& connection, const SessionAdmission& admission) {
                    RunRawSession(connection, raw.portNumber, raw.line, admission);
                },
                limits)) {
            RegisterListener(ListenerInfo{"raw", raw.tcpPort, raw.portNumber});
            ++listening;
        }
    }
    return listening;
}

}  // namespace tovl
