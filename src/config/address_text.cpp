#include "config/address_text.h"

#include "config/value_text.h"
#include "platform/ip_address.h"

namespace tovl {

ListedAddressKind ParseListedAddress(const std::string& text, std::string* canonical) {
    if (IsDottedDecimal(text)) {
        *canonical = CanonicalDotted(text);
        return ListedAddressKind::IPv4;
    }
    SockAddr address;
    if (text.find(':') == std::string::npos || !ParseIpText(text, &address) ||
        address.family != kAfInet6)
        return ListedAddressKind::NotAnAddress;
    *canonical = IpText(address);
    return ListedAddressKind::IPv6;
}

std::string PeerAddressName(const SockAddr& peer) {
    return IpText(peer);
}

std::string PeerEndpointText(const SockAddr& peer) {
    const std::string name = PeerAddressName(peer);
    const std::string port = std::to_string(NetToHost16(peer.portBe));
    return name.find(':') == std::string::npos ? name + ":" + port : "[" + name + "]:" + port;
}

}  // namespace tovl
