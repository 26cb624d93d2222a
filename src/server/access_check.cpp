#include "server/access_check.h"

#include <string>

#include "config/address_text.h"
#include "config/cert_entry.h"
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

bool IsCertificateAllowed(const TlsIdentity& certificate) {
    if (certificate.sha256.empty()) return false;
    // A subject with a path separator cannot be a value name: never looked up.
    return IsAddressAllowed(CertEntryName(CertEntryKind::Sha256, certificate.sha256).c_str()) ||
           (!certificate.subject.empty() &&
            certificate.subject.find_first_of("/\\") == std::string::npos &&
            IsAddressAllowed(CertEntryName(CertEntryKind::Subject, certificate.subject).c_str()));
}

bool IsPeerAllowed(CBlockingSocket& connection) {
    SockAddr peer;
    connection.GetPeerName(&peer);
    return IsAddressAllowed(PeerAddressName(peer).c_str());
}

}  // namespace tovl
