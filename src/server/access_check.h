// The allowed-address check: a client may open a port only when a value
// named exactly by its address (dotted IPv4, or canonical IPv6 text: see
// config/address_text.h), with at most 100 bytes of data, stands in
// HKEY_LOCAL_MACHINE\Software\Dravik\TOVL\IpAddr. The list is read afresh
// at every call; any thread may call it.
#pragma once

#include "net/blocking_socket.h"

namespace tovl {

extern const char* const kAllowedAddressKey;

// Throws CBlockingSocketException ("GetPeerName") when the peer's address
// cannot be read.
bool IsPeerAllowed(CBlockingSocket& connection);

// The registry half of the check, for an address already in its list name.
bool IsAddressAllowed(const char* dottedAddress);

}  // namespace tovl
