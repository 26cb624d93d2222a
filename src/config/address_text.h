// The allowed-address list's names: the one reading of an address that the
// server (which looks a peer up by name), tovladmin add (which writes the
// name) and tovladmin check (which judges every name) share. An IPv4
// address is named in dotted decimal without leading zeros, exactly as
// inet_ntoa writes it; an IPv6 address by its canonical text (RFC 5952),
// and an IPv4 peer that reaches a dual-stack listener as ::ffff:a.b.c.d is
// the IPv4 address. Pure functions; any thread may call.
#pragma once

#include <string>

#include "platform/socket_api.h"

namespace tovl {

enum class ListedAddressKind { NotAnAddress, IPv4, IPv6 };

// Reads text as an address the list can hold: four decimal numbers 0 to
// 255 of at most three digits joined by dots, or an IPv6 address in any
// form the platform reads. *canonical: the name the server looks that
// address up by (for ::ffff:a.b.c.d that is a.b.c.d).
ListedAddressKind ParseListedAddress(const std::string& text, std::string* canonical);

// The name under which the list must hold a peer.
std::string PeerAddressName(const SockAddr& peer);

// The peer as log lines and the status show it: "a.b.c.d:port", or
// "[v6]:port" for an IPv6 peer.
std::string PeerEndpointText(const SockAddr& peer);

}  // namespace tovl
