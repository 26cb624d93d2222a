// The TLS values of the registry as the services read them and tovladmin
// writes and checks them (names in config/product_keys.h): a TLS listener
// of the Tls\Listen key, and the client's fingerprint pin. Pure text; any
// thread.
#pragma once

#include <cstdint>
#include <string>

namespace tovl {

// The Tls\Listen value that names the port-link listener over TLS.
inline constexpr const char* kTlsPortLinkValue = "PortLink";

// One Tls\Listen value: "PortLink" (*portNumber 0) or "COM<n>" (RFC 2217
// for COM<n>), data a TCP port in decimal text. False, with the reason in
// *why, for anything else.
bool ParseTlsListenValue(const std::string& name, const std::string& data, int* portNumber,
                         uint16_t* tcpPort, std::string* why);

}  // namespace tovl
