#include "server/access_check.h"

#include <string>

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
    SockAddrIn peer;
    connection.GetPeerName(&peer);
    return IsAddressAllowed(InetNtoa(peer.addrBe).c_str());
}

}  // namespace tovl
