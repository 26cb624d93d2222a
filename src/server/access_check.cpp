#include "server/access_check.h"

#include <string>

#include "platform/last_error.h"
#include "platform/registry.h"

using namespace tovl;

const char* const kAllowedAddressKey = "Software\\Dravik\\TOVL\\IpAddr\\";

bool IsAddressAllowed(const char* dottedAddress) {
    CRegKey key;
    if (key.OpenLocalMachine(kAllowedAddressKey, kKeyAllAccess) != kErrorSuccess) return false;
    char data[100];
    uint32_t size = sizeof data;
    return key.QueryValue(dottedAddress, data, &size) == kErrorSuccess;
}

bool IsPeerAllowed(CBlockingSocket& connection) {
    SockAddrIn peer;
    connection.GetPeerName(&peer);
    return IsAddressAllowed(InetNtoa(peer.addrBe).c_str());
}
