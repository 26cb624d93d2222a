#include "server/access_check.h"

#include <string>

#include "config/address_text.h"
#include "config/product_keys.h"
#include "platform/last_error.h"
#include "platform/registry.h"

namespace tovl {

bool IsAddressAllowed(const char* dottedAddress) {
    CRegKey key;
    if (key.OpenLocalMachine(kIpAddrListKey, kKeyAllAccess) != kErrorSuccess) return false;
    char data[100];
    uint32_t size = sizeof data;
    return key.QueryValue(dottedAddress, data, &size) == kErrorSuccess;
}

bool IsPeerAllowed(CBlockingSocket& connection) {
    SockAddr peer;
    connection.GetPeerName(&peer);
    return IsAddressAllowed(PeerAddressName(peer).c_str());
}

}  // namespace tovl
