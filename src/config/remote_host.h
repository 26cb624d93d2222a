// REMOTEHOST<n>: the server of virtual port n named by a host name or an
// IPv6 address, with its TCP port, in a value of its own beside
// REMOTEPORT<n> in the client's Connections key. REMOTEPORT<n> keeps its
// form and 31-character limit and still gives the COM number; where
// REMOTEHOST<n> stands, its address and TCP port are not used (tovladmin
// writes 0.0.0.0 there). The name is resolved at each session's set-up.
// One reading for the client, tovladmin port set and tovladmin check. Pure
// text; any thread may call.
#pragma once

#include <cstdint>
#include <string>

#include "config/product_keys.h"

namespace tovl {

// The buffer the client reads a REMOTEHOST value with: a 253-character name,
// brackets and ":65535" fit, with the terminator.
constexpr uint32_t kRemoteHostDataSize = 272;

struct RemoteHost {
    std::string host;  // a host name, or an IPv6 address in canonical text
    uint16_t tcpPort = kServerTcpPort;
};

// "name", "name:PORT", "[v6]", "[v6]:PORT" or a bare IPv6 address (which
// then has no port): PORT is decimal 1 to 65535, 4445 when left out; a name
// is letters, digits, '-', '_' and '.', at most 253 characters. False with
// the problem in *why.
bool ParseRemoteHost(const std::string& text, RemoteHost* server, std::string* why);

// The value's text: "name:PORT" or "[v6]:PORT".
std::string FormatRemoteHost(const RemoteHost& server);

// True when text is a dotted IPv4 address with an optional ":PORT", which
// REMOTEPORT<n> holds by itself.
bool IsDottedServer(const std::string& text);

// "REMOTEHOST<n>".
std::string RemoteHostValueName(unsigned n);

}  // namespace tovl
