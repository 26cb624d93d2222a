// Internet addresses as text, both ways, and host names resolved to
// addresses, by the platform's own routines (inet_pton, inet_ntop,
// getaddrinfo): no address is parsed by hand here. Pure functions; any
// thread may call. ResolveHost blocks for as long as the name service
// takes to answer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/socket_api.h"

namespace tovl {

// Numeric address text: IPv4 in the four-number dotted form or IPv6 in any
// form the platform reads (no zone, no brackets). The port stays 0.
bool ParseIpText(const std::string& text, SockAddr* address);

// The address as its text: IPv4 dotted decimal as inet_ntoa writes it,
// IPv6 in its canonical text (RFC 5952: lower case, the longest run of zero
// groups shortened to "::"). An IPv4-mapped IPv6 address (::ffff:a.b.c.d,
// an IPv4 peer of a dual-stack listener) is written as the IPv4 address.
std::string IpText(const SockAddr& address);

enum class ResolveOutcome {
    Resolved,
    NoSuchName,  // the name service says the name has no address
    TryLater,    // the name service did not answer for now
    Failed,      // anything else
};

// The TCP addresses of host (a name, or numeric text of either family) on
// tcpPort, in the order the resolver gives them (no AI_ADDRCONFIG: a host
// with loopback alone still finds localhost). *why: the resolver's words
// when nothing was found.
ResolveOutcome ResolveHost(const std::string& host, uint16_t tcpPort,
                           std::vector<SockAddr>* addresses, std::string* why);

}  // namespace tovl
