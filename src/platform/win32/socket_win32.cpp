// Windows Sockets 1.1 calls. Errors are Windows Sockets numbers already.
// The waiting room of the listener selects on up to kPollMaxSockets sockets.
#define FD_SETSIZE 2048
// winsock2 before windows, mstcpip after both.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <mstcpip.h>
// clang-format on

#include <cstring>

#include "platform/socket_api.h"

namespace tovl {

namespace {
SOCKET S(SocketHandle s) {
    return static_cast<SOCKET>(s);
}

sockaddr_in ToNative(const SockAddrIn& a) {
    sockaddr_in n{};
    n.sin_family = a.family;
    n.sin_port = a.portBe;
    n.sin_addr.s_addr = a.addrBe;
    return n;
}

void FromNative(const sockaddr_in& n, SockAddrIn* a) {
    *a = SockAddrIn{};
    a->family = n.sin_family;
    a->portBe = n.sin_port;
    a->addrBe = n.sin_addr.s_addr;
}
// The native form of addr in *n; its length, 0 for an unknown family.
int ToNativeAddr(const SockAddr& addr, sockaddr_storage* n) {
    *n = sockaddr_storage{};
    if (addr.family == AF_INET6) {
        auto* six = reinterpret_cast<sockaddr_in6*>(n);
        six->sin6_family = AF_INET6;
        six->sin6_port = addr.portBe;
        memcpy(&six->sin6_addr, addr.addr, sizeof six->sin6_addr);
        six->sin6_scope_id = addr.scopeId;
        return sizeof *six;
    }
    if (addr.family != AF_INET) return 0;
    auto* four = reinterpret_cast<sockaddr_in*>(n);
    four->sin_family = AF_INET;
    four->sin_port = addr.portBe;
    memcpy(&four->sin_addr, addr.addr, sizeof four->sin_addr);
    return sizeof *four;
}

void FromNativeAddr(const sockaddr_storage& n, SockAddr* addr) {
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
}  // namespace

const int kAfInet6 = AF_INET6;

bool SockStartup() {
    WSADATA data;
    return WSAStartup(0x0101, &data) == 0;
}

size_t SockDescriptorLimit() {
    return SIZE_MAX;
}

int SockLastError() {
    return WSAGetLastError();
}
void SockSetLastError(int code) {
    WSASetLastError(code);
}

SocketHandle SockSocket(int family, int type, int protocol) {
    return static_cast<SocketHandle>(socket(family, type, protocol));
}

void SockSetNoDelay(SocketHandle s) {
    int one = 1;
    setsockopt(S(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

bool SockSetKeepAlive(SocketHandle s) {
    // Probes after 10 s of silence, one a second: a vanished peer fails the
    // connection after about 20 s (10 probes on current Windows). TCP_MAXRT
    // bounds retransmission of unacknowledged data where it is known.
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = 10000;
    values.keepaliveinterval = 1000;
    DWORD returned = 0;
    if (WSAIoctl(S(s), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
                 nullptr) != 0)
        return false;
    constexpr int kTcpMaxRt = 5;
    DWORD maxRetransmitSeconds = 25;
    setsockopt(S(s), IPPROTO_TCP, kTcpMaxRt, reinterpret_cast<const char*>(&maxRetransmitSeconds),
               sizeof maxRetransmitSeconds);
    return true;
}

bool SockKeepAliveEnabled(SocketHandle s) {
    BOOL on = FALSE;
    int len = sizeof on;
    return getsockopt(S(s), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&on), &len) == 0 &&
           on != FALSE;
}

void SockPrepareListener(SocketHandle) {}

bool SockConnect(SocketHandle s, const SockAddrIn& addr) {
    sockaddr_in n = ToNative(addr);
    return connect(S(s), reinterpret_cast<sockaddr*>(&n), sizeof n) == 0;
}

bool SockBind(SocketHandle s, const SockAddrIn& addr) {
    sockaddr_in n = ToNative(addr);
    return bind(S(s), reinterpret_cast<sockaddr*>(&n), sizeof n) == 0;
}

bool SockListen(SocketHandle s, int backlog) {
    return listen(S(s), backlog) == 0;
}

SocketHandle SockAccept(SocketHandle s, SockAddrIn* peer) {
    sockaddr_in n{};
    int len = sizeof n;
    SOCKET a = accept(S(s), reinterpret_cast<sockaddr*>(&n), &len);
    if (a != INVALID_SOCKET && peer) FromNative(n, peer);
    return static_cast<SocketHandle>(a);
}

bool SockConnectAddr(SocketHandle s, const SockAddr& addr) {
    sockaddr_storage n{};
    const int len = ToNativeAddr(addr, &n);
    return connect(S(s), reinterpret_cast<sockaddr*>(&n), len) == 0;
}

bool SockBindAddr(SocketHandle s, const SockAddr& addr) {
    sockaddr_storage n{};
    const int len = ToNativeAddr(addr, &n);
    return bind(S(s), reinterpret_cast<sockaddr*>(&n), len) == 0;
}

SocketHandle SockAcceptAddr(SocketHandle s, SockAddr* peer) {
    sockaddr_storage n{};
    int len = sizeof n;
    SOCKET a = accept(S(s), reinterpret_cast<sockaddr*>(&n), &len);
    if (a != INVALID_SOCKET && peer) FromNativeAddr(n, peer);
    return static_cast<SocketHandle>(a);
}

bool SockGetPeerAddr(SocketHandle s, SockAddr* peer) {
    sockaddr_storage n{};
    int len = sizeof n;
    if (getpeername(S(s), reinterpret_cast<sockaddr*>(&n), &len) != 0) return false;
    FromNativeAddr(n, peer);
    return true;
}

bool SockSetDualStack(SocketHandle s) {
    DWORD off = 0;
    return setsockopt(S(s), IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&off),
                      sizeof off) == 0;
}

bool SockGetPeerName(SocketHandle s, SockAddrIn* peer) {
    sockaddr_in n{};
    int len = sizeof n;
    if (getpeername(S(s), reinterpret_cast<sockaddr*>(&n), &len) != 0) return false;
    FromNative(n, peer);
    return true;
}

bool SockGetSockName(SocketHandle s, SockAddrIn* local) {
    sockaddr_in n{};
    int len = sizeof n;
    if (getsockname(S(s), reinterpret_cast<sockaddr*>(&n), &len) != 0) return false;
    FromNative(n, local);
    return true;
}

int SockWait(SocketHandle s, bool forWrite, int seconds) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(S(s), &set);
    timeval tv{seconds, 0};
    int rc = select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, nullptr,
                    seconds < 0 ? nullptr : &tv);
    return rc == SOCKET_ERROR ? -1 : rc;
}

int SockPollReadable(const SocketHandle* handles, size_t count, int timeoutMs, bool* readable) {
    static_assert(kPollMaxSockets <= FD_SETSIZE, "the set holds every socket");
    if (count > kPollMaxSockets) {
        WSASetLastError(WSAEINVAL);
        return -1;
    }
    // fd_set of FD_SETSIZE handles is 8 KiB: kept off the small stacks.
    static thread_local fd_set set;
    FD_ZERO(&set);
    for (size_t i = 0; i < count; ++i) FD_SET(S(handles[i]), &set);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    int rc = select(0, &set, nullptr, nullptr, timeoutMs < 0 ? nullptr : &tv);
    if (rc == SOCKET_ERROR) return -1;
    for (size_t i = 0; i < count; ++i) readable[i] = FD_ISSET(S(handles[i]), &set) != 0;
    return rc;
}

int SockSend(SocketHandle s, const void* data, int length) {
    int n = send(S(s), static_cast<const char*>(data), length, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

int SockPeek(SocketHandle s, void* buffer, int capacity) {
    int n = recv(S(s), static_cast<char*>(buffer), capacity, MSG_PEEK);
    return n == SOCKET_ERROR ? -1 : n;
}

int SockRecv(SocketHandle s, void* buffer, int capacity) {
    int n = recv(S(s), static_cast<char*>(buffer), capacity, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

void SockSetAbortiveClose(SocketHandle s) {
    linger l{1, 0};
    setsockopt(S(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
}

std::string InetNtoa(uint32_t addrBe) {
    in_addr a{};
    a.s_addr = addrBe;
    const char* text = inet_ntoa(a);
    return text ? text : "";
}

uint32_t InetAddr(const char* text) {
    return inet_addr(text);
}
uint16_t HostToNet16(uint16_t v) {
    return htons(v);
}
uint32_t HostToNet32(uint32_t v) {
    return htonl(v);
}
uint16_t NetToHost16(uint16_t v) {
    return ntohs(v);
}

CSocketHandle::~CSocketHandle() {
    const SocketHandle waker = waker_.load();
    if (waker != kNoSocket) closesocket(S(waker));
    if (!released_ && handle_ != kInvalidSocket && handle_ != kNoSocket) closesocket(S(handle_));
}

void CSocketHandle::Abort() {
    aborted_ = true;
    if (handle_ == kInvalidSocket || handle_ == kNoSocket || released_) return;
    // A connection is shut down and its handle kept until the last user lets
    // go, so no waiter can meet a new socket under the same value. A blocked
    // accept wakes only when its handle is closed; it does not look at the
    // handle again, so a listener is closed at once.
    if (shutdown(S(handle_), SD_BOTH) != 0) {
        closesocket(S(handle_));
        released_ = true;
    }
    // Only then is a wait blocked in select on the connection and its waker
    // woken (select does not always wake for a local shutdown): a waiter
    // woken before the shutdown could start a blocking receive that the
    // shutdown no longer ends. The aborted flag is set before the waker is
    // looked at and a waiter makes its waker before it looks at the flag, so
    // either the waiter sees the flag or this sees the waker.
    const SocketHandle waker = waker_.load();
    if (waker != kNoSocket) send(S(waker), "x", 1, 0);
}

SocketHandle CSocketHandle::Waker() const {
    std::lock_guard<std::mutex> guard(wakerLock_);
    if (wakerTried_) return waker_.load();
    wakerTried_ = true;
    // A datagram socket on loopback connected to itself: a byte sent to it
    // makes it readable for good.
    SOCKET w = socket(AF_INET, SOCK_DGRAM, 0);
    if (w == INVALID_SOCKET) return kNoSocket;
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof self;
    if (bind(w, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
        getsockname(w, reinterpret_cast<sockaddr*>(&self), &len) != 0 ||
        connect(w, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
        closesocket(w);
        return kNoSocket;
    }
    waker_.store(static_cast<SocketHandle>(w));
    return static_cast<SocketHandle>(w);
}

namespace {

// Without a waker: wait in slices and look at the abort flag between them.
int WaitInSlices(const CSocketHandle& s, bool forWrite, int seconds) {
    constexpr int kSliceMs = 200;
    const DWORD start = GetTickCount();
    for (;;) {
        if (s.IsAborted()) return 1;
        int sliceMs = kSliceMs;
        if (seconds >= 0) {
            const DWORD elapsed = GetTickCount() - start;
            const DWORD limit = static_cast<DWORD>(seconds) * 1000;
            if (elapsed >= limit) return 0;
            if (limit - elapsed < static_cast<DWORD>(sliceMs))
                sliceMs = static_cast<int>(limit - elapsed);
        }
        fd_set set;
        FD_ZERO(&set);
        FD_SET(S(s.Get()), &set);
        timeval tv{sliceMs / 1000, (sliceMs % 1000) * 1000};
        int rc = select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, nullptr, &tv);
        if (rc != 0) return rc == SOCKET_ERROR ? -1 : 1;
    }
}

}  // namespace

int SockWaitAbortable(const CSocketHandle& s, bool forWrite, int seconds) {
    const SocketHandle waker = s.Waker();
    if (waker == kNoSocket) return WaitInSlices(s, forWrite, seconds);
    if (s.IsAborted()) return 1;
    // One select on the connection and the waker: an idle wait costs nothing.
    fd_set readSet;
    fd_set writeSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_SET(S(waker), &readSet);
    FD_SET(S(s.Get()), forWrite ? &writeSet : &readSet);
    timeval tv{seconds, 0};
    const int rc =
        select(0, &readSet, forWrite ? &writeSet : nullptr, nullptr, seconds < 0 ? nullptr : &tv);
    if (rc == SOCKET_ERROR) return -1;
    return rc == 0 ? 0 : 1;
}

int SockSendWithin(const CSocketHandle& s, const void* data, int length, int seconds) {
    // A failed wait goes on: the send reports the failure.
    if (SockWaitAbortable(s, true, seconds) == 0) return kSockTimedOut;
    return SockSend(s.Get(), data, length);
}

int SockRecvWithin(const CSocketHandle& s, void* buffer, int capacity, int seconds) {
    if (SockWaitAbortable(s, false, seconds) == 0 && seconds >= 0) return kSockTimedOut;
    return SockRecv(s.Get(), buffer, capacity);
}

}  // namespace tovl
