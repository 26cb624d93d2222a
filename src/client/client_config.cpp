#include "client/client_config.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/product_keys.h"
#include "config/remote_host.h"
#include "config/value_text.h"
#include "platform/log.h"
#include "platform/registry.h"

namespace tovl {

namespace {

// The standard decimal conversion: leading blanks, an optional sign, digits;
// anything else gives 0. Values beyond 32 bits keep their low bits.
int32_t Decimal(const char* text) {
    return static_cast<int32_t>(static_cast<uint32_t>(strtoll(text, nullptr, 10)));
}

// Cuts fields the classic way: delimiters in front of a field are skipped,
// the field ends at the next delimiter, which is consumed.
class CFieldCutter {
  public:
    explicit CFieldCutter(char* text) : next_(text) {}
    char* Next(const char* delimiters) {
        if (next_ == nullptr) return nullptr;
        next_ += strspn(next_, delimiters);
        if (*next_ == '\0') {
            next_ = nullptr;
            return nullptr;
        }
        char* field = next_;
        char* end = field + strcspn(field, delimiters);
        if (*end == '\0') {
            next_ = nullptr;
        } else {
            *end = '\0';
            next_ = end + 1;
        }
        return field;
    }
    // The text after the delimiter that ended the last field; null when that
    // field ended the text.
    char* Rest() const { return next_; }

  private:
    char* next_;
};

enum class HostValue { Absent, Read, Unreadable };

// REMOTEHOST<n> (a value that stands but does not read well is logged).
HostValue ReadRemoteHost(const CRegKey& key, uint32_t n, RemoteHost* server) {
    const std::string name = RemoteHostValueName(n);
    char value[kRemoteHostDataSize] = {};
    uint32_t size = sizeof value;
    if (key.QueryValue(name.c_str(), value, &size) != 0) return HostValue::Absent;
    value[sizeof value - 1] = '\0';
    std::string why;
    if (ParseRemoteHost(value, server, &why)) return HostValue::Read;
    LogLine(LogPriority::Warning, "%s = \"%s\": %s: virtual port %u is left out", name.c_str(),
            ShownText(value).c_str(), why.c_str(), n);
    return HostValue::Unreadable;
}

}  // namespace

bool ParseRemoteEnd(const char* text, RemoteEnd* end) {
    char buffer[32] = {};
    strncpy(buffer, text, sizeof buffer - 1);
    CFieldCutter cutter(buffer);
    RemoteEnd parsed;
    const char* address;
    if (strchr(buffer, ':') != nullptr) {
        address = cutter.Next(":");
        const char* tcp = cutter.Next(";");
        if (address == nullptr || tcp == nullptr) return false;
        parsed.TcpPort = static_cast<uint16_t>(Decimal(tcp));
    } else {
        address = cutter.Next(";");
        if (address == nullptr) return false;
        parsed.TcpPort = kServerTcpPort;
    }
    const char* rest = cutter.Rest();
    if (rest == nullptr || *rest == '\0') return false;
    parsed.ComPort = Decimal(rest);
    strncpy(parsed.Address, address, sizeof parsed.Address - 1);
    *end = parsed;
    return true;
}

void ParsePortTimeouts(const char* text, int32_t values[5]) {
    const char* field = text;
    for (int i = 0; i < 5; ++i) {
        values[i] = field != nullptr ? Decimal(field) : 0;
        if (field != nullptr && i < 4) {
            field = strchr(field, ';');
            if (field != nullptr) ++field;
        }
    }
}

std::vector<ClientPort> ReadClientConnections() {
    std::vector<ClientPort> ports;
    CRegKey key;
    if (key.OpenLocalMachine(kConnectionsKey, kKeyAllAccess) != 0) {
        LogLine(LogPriority::Warning,
                "key HKEY_LOCAL_MACHINE\\%s is missing: the client serves no port",
                kConnectionsKey);
        return ports;
    }
    for (uint32_t n = 0; n <= 254; ++n) {
        char name[32];
        snprintf(name, sizeof name, "REMOTEPORT%u", n);
        char value[32] = {};
        uint32_t size = sizeof value;
        if (key.QueryValue(name, value, &size) != 0) continue;
        value[sizeof value - 1] = '\0';
        // Problems the client lets pass (a name instead of an address, a TCP
        // port that wraps) are told too: their sessions cannot work.
        const std::string problem = ExplainRemotePort(n, value);
        if (!problem.empty()) LogLine(LogPriority::Warning, "%s", problem.c_str());
        RemoteEnd end;
        if (!ParseRemoteEnd(value, &end)) continue;
        RemoteHost server;
        const HostValue host = ReadRemoteHost(key, n, &server);
        if (host == HostValue::Unreadable) continue;
        const bool named = host == HostValue::Read;
        if (named) end.TcpPort = server.tcpPort;
        ClientPort& port = ports.emplace_back();
        if (named) port.ServerHost = server.host;
        memcpy(port.RemoteAddress, end.Address, sizeof port.RemoteAddress);
        port.RemoteTcpPort = end.TcpPort;
        port.RemoteComPort = end.ComPort;
        port.LocalPort = n;
    }
    return ports;
}

bool ReadPortTimeouts(uint32_t n, int32_t values[5]) {
    char name[32];
    snprintf(name, sizeof name, "PORT%u", n);
    CRegKey key;
    if (key.OpenLocalMachine(kSettingsKey, kKeyAllAccess) != 0) {
        LogLine(LogPriority::Error, "virtual port %u: key HKEY_LOCAL_MACHINE\\%s cannot be opened",
                n, kSettingsKey);
        printf("ERROR open registry key!\n");
        fflush(stdout);
        return false;
    }
    char text[100] = {};
    uint32_t size = sizeof text;
    if (key.QueryValue(name, text, &size) != 0) {
        LogLine(LogPriority::Error, "%s", ExplainMissingPortTimeouts(n).c_str());
        printf("ERROR registry read!\n");
        fflush(stdout);
        key.Close();
        return false;
    }
    key.Close();
    text[sizeof text - 1] = '\0';
    const std::string problem = ExplainPortTimeouts(n, text);
    if (!problem.empty()) LogLine(LogPriority::Warning, "%s", problem.c_str());
    ParsePortTimeouts(text, values);
    return true;
}

}  // namespace tovl
