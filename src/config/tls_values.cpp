#include "config/tls_values.h"

#include "config/com_value.h"

namespace tovl {

namespace {

bool EqualsIgnoringCase(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        const char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
        if (x != y) return false;
    }
    return i == a.size() && b[i] == '\0';
}

}  // namespace

bool ParseTlsListenValue(const std::string& name, const std::string& data, TlsListen* listen,
                         std::string* why) {
    TlsListen parsed;
    uint32_t n = 0;
    if (EqualsIgnoringCase(name, kTlsPortLinkValue)) {
        n = 0;
    } else if (!ParseComValueName(name, &n)) {
        *why = "the name must be PortLink or COM<n>";
        return false;
    }
    parsed.portNumber = static_cast<int>(n);
    if (n != 0 && data.find(';') != std::string::npos) {
        parsed.raw = true;
        if (!ParseRawValue(data, &parsed.tcpPort, &parsed.line, why)) return false;
    } else if (!ParseRfc2217Port(data, &parsed.tcpPort)) {
        *why = n == 0 ? "the data must be a TCP port from 1 to 65535"
                      : "the data must be a TCP port from 1 to 65535 (RFC 2217), or "
                        "TCPPORT;SPEED,FRAME (raw TCP)";
        return false;
    }
    *listen = parsed;
    return true;
}

}  // namespace tovl
