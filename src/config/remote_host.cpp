#include "config/remote_host.h"

#include <algorithm>
#include <cctype>

#include "config/value_text.h"
#include "platform/ip_address.h"

namespace tovl {

namespace {

constexpr size_t kMaxHostName = 253;

bool ParsePort(const std::string& text, uint16_t* port, std::string* why) {
    long value = 0;
    if (!IsDecimalIn(text, 1, 65535, &value)) {
        *why = "TCP port \"" + ShownText(text) + "\" is not 1 to 65535";
        return false;
    }
    *port = static_cast<uint16_t>(value);
    return true;
}

bool ParseIpv6(const std::string& text, std::string* canonical, std::string* why) {
    SockAddr address;
    if (!ParseIpText(text, &address) || address.family != kAfInet6) {
        *why = "\"" + ShownText(text) + "\" is not an IPv6 address";
        return false;
    }
    *canonical = IpText(address);
    return true;
}

bool IsHostName(const std::string& text) {
    return !text.empty() && text.size() <= kMaxHostName && text.front() != '.' &&
           text.front() != '-' && std::all_of(text.begin(), text.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' ||
                      c == '.';
           });
}

}  // namespace

bool ParseRemoteHost(const std::string& text, RemoteHost* server, std::string* why) {
    RemoteHost parsed;
    if (!text.empty() && text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos) {
            *why = "\"" + ShownText(text) + "\" has no closing \"]\"";
            return false;
        }
        if (!ParseIpv6(text.substr(1, close - 1), &parsed.host, why)) return false;
        const std::string rest = text.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') {
            *why = "\"" + ShownText(rest) + "\" follows the \"]\"";
            return false;
        }
        if (!rest.empty() && !ParsePort(rest.substr(1), &parsed.tcpPort, why)) return false;
    } else if (std::count(text.begin(), text.end(), ':') > 1) {
        // A bare IPv6 address: its last group cannot be told from a port.
        if (!ParseIpv6(text, &parsed.host, why)) return false;
    } else {
        const size_t colon = text.find(':');
        parsed.host = text.substr(0, colon);
        if (!IsHostName(parsed.host)) {
            *why = "\"" + ShownText(parsed.host) +
                   "\" is not a host name (letters, digits, '-', '_' and '.')";
            return false;
        }
        if (colon != std::string::npos && !ParsePort(text.substr(colon + 1), &parsed.tcpPort, why))
            return false;
    }
    *server = parsed;
    return true;
}

std::string FormatRemoteHost(const RemoteHost& server) {
    const std::string port = std::to_string(server.tcpPort);
    return server.host.find(':') == std::string::npos ? server.host + ":" + port
                                                      : "[" + server.host + "]:" + port;
}

bool IsDottedServer(const std::string& text) {
    return IsDottedDecimal(text.substr(0, text.find(':')));
}

std::string RemoteHostValueName(unsigned n) {
    return "REMOTEHOST" + std::to_string(n);
}

}  // namespace tovl
