// Address text and name resolution by Windows Sockets 2 (ws2_32, Windows 7
// and later for inet_pton and inet_ntop).
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/ip_address.h"

namespace tovl {

namespace {

bool IsV4Mapped(const SockAddr& a) {
    static const uint8_t kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    return a.family == AF_INET6 && memcmp(a.addr, kPrefix, sizeof kPrefix) == 0;
}

// RFC 6761: a name under .invalid has no address, and is not asked for
// (a resolver that cannot reach its servers would only say "try later").
bool IsInvalidName(const std::string& host) {
    std::string name = host;
    if (!name.empty() && name.back() == '.') name.pop_back();
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return name == "invalid" ||
           (name.size() > 8 && name.compare(name.size() - 8, 8, ".invalid") == 0);
}

}  // namespace

bool ParseIpText(const std::string& text, SockAddr* address) {
    SockAddr parsed;
    if (inet_pton(AF_INET, text.c_str(), parsed.addr) == 1) {
        parsed.family = AF_INET;
    } else if (inet_pton(AF_INET6, text.c_str(), parsed.addr) == 1) {
        parsed.family = AF_INET6;
    } else {
        return false;
    }
    *address = parsed;
    return true;
}

std::string IpText(const SockAddr& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (IsV4Mapped(address)) {
        inet_ntop(AF_INET, address.addr + 12, text, sizeof text);
    } else if (address.family == AF_INET || address.family == AF_INET6) {
        inet_ntop(address.family, address.addr, text, sizeof text);
    }
    return text;
}

ResolveOutcome ResolveHost(const std::string& host, uint16_t tcpPort,
                           std::vector<SockAddr>* addresses, std::string* why) {
    addresses->clear();
    if (IsInvalidName(host)) {
        *why = "names under .invalid never resolve";
        return ResolveOutcome::NoSuchName;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(tcpPort);
    const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) {
        switch (rc) {
            case EAI_NONAME:
            case EAI_NODATA:
                *why = "no such host is known";
                return ResolveOutcome::NoSuchName;
            case EAI_AGAIN:
                *why = "the name service did not answer";
                return ResolveOutcome::TryLater;
            default:
                *why = "resolver error " + std::to_string(rc);
                return ResolveOutcome::Failed;
        }
    }
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        SockAddr one;
        one.family = a->ai_family;
        if (a->ai_family == AF_INET6) {
            const auto* six = reinterpret_cast<const sockaddr_in6*>(a->ai_addr);
            one.portBe = six->sin6_port;
            memcpy(one.addr, &six->sin6_addr, sizeof six->sin6_addr);
            one.scopeId = six->sin6_scope_id;
        } else if (a->ai_family == AF_INET) {
            const auto* four = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
            one.portBe = four->sin_port;
            memcpy(one.addr, &four->sin_addr, sizeof four->sin_addr);
        } else {
            continue;
        }
        addresses->push_back(one);
    }
    freeaddrinfo(found);
    if (addresses->empty()) {
        *why = "no IPv4 or IPv6 address";
        return ResolveOutcome::NoSuchName;
    }
    return ResolveOutcome::Resolved;
}

}  // namespace tovl
