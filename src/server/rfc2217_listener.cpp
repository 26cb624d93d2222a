#include "server/rfc2217_listener.h"

#include <cctype>
#include <cstring>
#include <memory>

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

namespace {

bool ParseDecimal(const std::string& text, uint32_t limit, uint32_t* value) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v == 0 || v > limit) return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

bool ParseComName(const std::string& name, uint32_t* portNumber) {
    if (name.size() < 4 || std::toupper(static_cast<unsigned char>(name[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(name[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(name[2])) != 'M')
        return false;
    return ParseDecimal(name.substr(3), 255, portNumber);
}

bool ParseRfc2217Value(const std::string& name, const std::string& data, int* portNumber,
                       uint16_t* tcpPort) {
    uint32_t n = 0;
    uint32_t port = 0;
    if (!ParseComName(name, &n)) return false;
    std::string text = data;
    while (!text.empty() &&
           (text.back() == '\0' || std::isspace(static_cast<unsigned char>(text.back()))))
        text.pop_back();
    if (!ParseDecimal(text, 65535, &port)) return false;
    *portNumber = static_cast<int>(n);
    *tcpPort = static_cast<uint16_t>(port);
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
        std::string why = "not a COM<n> name";
        if (key.QueryValue(name.c_str(), data, &size) == 0 && ParseComName(name, &n) &&
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
