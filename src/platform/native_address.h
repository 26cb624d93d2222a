// The sockets library's own address records (sockaddr_in, sockaddr_in6)
// and SockAddr, both ways: the same on both platforms, included by each
// platform's sockets backend only.
#pragma once

// clang-format off
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#endif
// clang-format on

#include <cstring>

#include "platform/socket_api.h"

namespace tovl {

// The native form of addr in *n; its length, 0 for an unknown family.
inline int ToNativeAddr(const SockAddr& addr, sockaddr_storage* n) {
    *n = sockaddr_storage{};
    if (addr.family == AF_INET6) {
        auto* six = reinterpret_cast<sockaddr_in6*>(n);
        six->sin6_family = AF_INET6;
        six->sin6_port = addr.portBe;
        memcpy(&six->sin6_addr, addr.addr, sizeof six->sin6_addr);
        six->sin6_scope_id = addr.scopeId;
        return static_cast<int>(sizeof *six);
    }
    if (addr.family != AF_INET) return 0;
    auto* four = reinterpret_cast<sockaddr_in*>(n);
    four->sin_family = AF_INET;
    four->sin_port = addr.portBe;
    memcpy(&four->sin_addr, addr.addr, sizeof four->sin_addr);
    return static_cast<int>(sizeof *four);
}

inline void FromNativeAddr(const sockaddr_storage& n, SockAddr* addr) {
    *addr = SockAddr{};
    addr->family = n.ss_family;
    if (n.ss_family == AF_INET6) {
        const auto* six = reinterpret_cast<const sockaddr_in6*>(&n);
        addr->portBe = six->sin6_port;
        memcpy(addr->addr, &six->sin6_addr, sizeof six->sin6_addr);
        addr->scopeId = six->sin6_scope_id;
    } else if (n.ss_family == AF_INET) {
        const auto* four = reinterpret_cast<const sockaddr_in*>(&n);
        addr->portBe = four->sin_port;
        memcpy(addr->addr, &four->sin_addr, sizeof four->sin_addr);
    }
}

}  // namespace tovl
