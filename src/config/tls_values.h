// The TLS values of the registry as the services read them and tovladmin
// writes and checks them (names in config/product_keys.h): a TLS listener
// of the Tls\Listen key, and the client's fingerprint pin. Pure text; any
// thread.
#pragma once

#include <cstdint>
#include <string>

#include "config/raw_value.h"

namespace tovl {

// The Tls\Listen value that names the port-link listener over TLS.
inline constexpr const char* kTlsPortLinkValue = "PortLink";

// One Tls\Listen value: "PortLink" = TCP port (the port-link protocol,
// *portNumber 0), "COM<n>" = TCP port (RFC 2217 for COM<n>) or "COM<n>" =
// TCPPORT;SPEED,FRAME[,FLOW] (raw TCP for COM<n>, as a Raw value; *raw then
// true and *line set). False, with the reason in *why, for anything else.
struct TlsListen {
    int portNumber = 0;
    uint16_t tcpPort = 0;
    bool raw = false;
    RawLine line;
};
bool ParseTlsListenValue(const std::string& name, const std::string& data, TlsListen* listen,
                         std::string* why);

}  // namespace tovl
