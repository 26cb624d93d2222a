// BSD sockets behind the Windows Sockets names. Errors are translated once,
// here, into Windows Sockets numbers so that both platforms report the same
// codes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/socket_api.h"

namespace tovl {

namespace {

thread_local int t_sockError = 0;

int TranslateErrno(int e) {
    switch (e) {
        case 0:
            return 0;
        case EINTR:
            return kWsaEintr;
        case EBADF:
            return kWsaEbadf;
        case EINVAL:
            return kWsaEinval;
        case EMFILE:
        case ENFILE:
            return kWsaEmfile;
        case EAGAIN:
            return kWsaEwouldblock;
        case ENOTSOCK:
            return kWsaEnotsock;
        case EADDRINUSE:
            return kWsaEaddrinuse;
        case EACCES:
            return kWsaEacces;
        case EADDRNOTAVAIL:
            return kWsaEaddrnotavail;
        case ENETUNREACH:
            return kWsaEnetunreach;
        case ECONNABORTED:
            return kWsaEconnaborted;
        case ECONNRESET:
            return kWsaEconnreset;
        case ENOTCONN:
            return kWsaEnotconn;
        case EPIPE:
        case ESHUTDOWN:
            return kWsaEshutdown;
        case ETIMEDOUT:
            return kWsaEtimedout;
        case ECONNREFUSED:
            return kWsaEconnrefused;
        case EHOSTUNREACH:
            return kWsaEhostunreach;
        default:
            return 10000 + e;
    }
}

int Fail() {
    t_sockError = TranslateErrno(errno);
    return -1;
}

// Handle 0 means "no socket" to the socket class, so a socket never keeps
// descriptor 0 (free when standard input is closed).
int AvoidZero(int fd) {
    if (fd != 0) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int saved = errno;
    close(fd);
    errno = saved;
    return moved;
}

int Fd(SocketHandle s) {
    return s == kInvalidSocket ? -1 : static_cast<int>(s);
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
socklen_t ToNativeAddr(const SockAddr& addr, sockaddr_storage* n) {
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
    // A listener holds a socket per waiting peer: the whole hard limit is
    // the process's to use. Raised once; a limit set later is left alone.
    static const bool raised = [] {
        rlimit limit{};
        if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return false;
        limit.rlim_cur = limit.rlim_max;
        return setrlimit(RLIMIT_NOFILE, &limit) == 0;
    }();
    (void)raised;
    return true;
}

size_t SockDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
    return static_cast<size_t>(limit.rlim_cur);
}

int SockLastError() {
    return t_sockError;
}
void SockSetLastError(int code) {
    t_sockError = code;
}

SocketHandle SockSocket(int family, int type, int protocol) {
    int fd = AvoidZero(socket(family, type | SOCK_CLOEXEC, protocol));
    if (fd < 0) {
        Fail();
        return kInvalidSocket;
    }
    return static_cast<SocketHandle>(fd);
}

void SockSetNoDelay(SocketHandle s) {
    int one = 1;
    setsockopt(Fd(s), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool SockSetKeepAlive(SocketHandle s) {
    // 10 s of silence, then a probe every 5 s, 3 unanswered: 25 s. Data
    // left unacknowledged for 25 s ends the connection the same way.
    const int fd = Fd(s);
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) return Fail() == 0;
    int idle = 10;
    int interval = 5;
    int count = 3;
    unsigned userTimeoutMs = 25000;
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
    return true;
}

bool SockKeepAliveEnabled(SocketHandle s) {
    int on = 0;
    socklen_t len = sizeof on;
    return getsockopt(Fd(s), SOL_SOCKET, SO_KEEPALIVE, &on, &len) == 0 && on != 0;
}

void SockPrepareListener(SocketHandle s) {
    int one = 1;
    setsockopt(Fd(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

bool SockConnect(SocketHandle s, const SockAddrIn& addr) {
    sockaddr_in n = ToNative(addr);
    while (connect(Fd(s), reinterpret_cast<sockaddr*>(&n), sizeof n) != 0) {
        if (errno == EINTR) continue;
        Fail();
        return false;
    }
    return true;
}

bool SockBind(SocketHandle s, const SockAddrIn& addr) {
    sockaddr_in n = ToNative(addr);
    return bind(Fd(s), reinterpret_cast<sockaddr*>(&n), sizeof n) == 0 || Fail() == 0;
}

bool SockListen(SocketHandle s, int backlog) {
    return listen(Fd(s), backlog) == 0 || Fail() == 0;
}

SocketHandle SockAccept(SocketHandle s, SockAddrIn* peer) {
    sockaddr_in n{};
    socklen_t len = sizeof n;
    int fd;
    do {
        fd = accept4(Fd(s), reinterpret_cast<sockaddr*>(&n), &len, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) fd = AvoidZero(fd);
    if (fd < 0) {
        // A listener shut down by a close from another thread reports EINVAL:
        // that is the interrupted wait of Windows Sockets.
        if (errno == EINVAL) errno = EINTR;
        Fail();
        return kInvalidSocket;
    }
    if (peer) FromNative(n, peer);
    return static_cast<SocketHandle>(fd);
}

bool SockConnectAddr(SocketHandle s, const SockAddr& addr) {
    sockaddr_storage n{};
    const socklen_t len = ToNativeAddr(addr, &n);
    while (connect(Fd(s), reinterpret_cast<sockaddr*>(&n), len) != 0) {
        if (errno == EINTR) continue;
        Fail();
        return false;
    }
    return true;
}

bool SockBindAddr(SocketHandle s, const SockAddr& addr) {
    sockaddr_storage n{};
    const socklen_t len = ToNativeAddr(addr, &n);
    return bind(Fd(s), reinterpret_cast<sockaddr*>(&n), len) == 0 || Fail() == 0;
}

SocketHandle SockAcceptAddr(SocketHandle s, SockAddr* peer) {
    sockaddr_storage n{};
    socklen_t len = sizeof n;
    int fd;
    do {
        fd = accept4(Fd(s), reinterpret_cast<sockaddr*>(&n), &len, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) fd = AvoidZero(fd);
    if (fd < 0) {
        // As SockAccept: a listener shut down from another thread.
        if (errno == EINVAL) errno = EINTR;
        Fail();
        return kInvalidSocket;
    }
    if (peer) FromNativeAddr(n, peer);
    return static_cast<SocketHandle>(fd);
}

bool SockGetPeerAddr(SocketHandle s, SockAddr* peer) {
    sockaddr_storage n{};
    socklen_t len = sizeof n;
    if (getpeername(Fd(s), reinterpret_cast<sockaddr*>(&n), &len) != 0) return Fail() == 0;
    FromNativeAddr(n, peer);
    return true;
}

bool SockSetDualStack(SocketHandle s) {
    int off = 0;
    return setsockopt(Fd(s), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) == 0 || Fail() == 0;
}

bool SockGetPeerName(SocketHandle s, SockAddrIn* peer) {
    sockaddr_in n{};
    socklen_t len = sizeof n;
    if (getpeername(Fd(s), reinterpret_cast<sockaddr*>(&n), &len) != 0) return Fail() == 0;
    FromNative(n, peer);
    return true;
}

bool SockGetSockName(SocketHandle s, SockAddrIn* local) {
    sockaddr_in n{};
    socklen_t len = sizeof n;
    if (getsockname(Fd(s), reinterpret_cast<sockaddr*>(&n), &len) != 0) return Fail() == 0;
    FromNative(n, local);
    return true;
}

int SockWait(SocketHandle s, bool forWrite, int seconds) {
    pollfd p{Fd(s), static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    if (p.fd < 0) {
        errno = EBADF;
        return Fail();
    }
    for (;;) {
        int rc = poll(&p, 1, seconds < 0 ? -1 : seconds * 1000);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0) return Fail();
        if (rc == 0) return 0;
        // Hang-up and error count as ready: the call that follows reports them.
        return 1;
    }
}

int SockPollReadable(const SocketHandle* handles, size_t count, int timeoutMs, bool* readable) {
    if (count > kPollMaxSockets) {
        errno = EINVAL;
        return Fail();
    }
    pollfd set[kPollMaxSockets];
    for (size_t i = 0; i < count; ++i) set[i] = pollfd{Fd(handles[i]), POLLIN, 0};
    int rc;
    do {
        rc = poll(set, count, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) return Fail();
    for (size_t i = 0; i < count; ++i) readable[i] = set[i].revents != 0;
    return rc;
}

int SockSend(SocketHandle s, const void* data, int length) {
    ssize_t n;
    do {
        n = send(Fd(s), data, static_cast<size_t>(length), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? Fail() : static_cast<int>(n);
}

int SockPeek(SocketHandle s, void* buffer, int capacity) {
    ssize_t n;
    do {
        n = recv(Fd(s), buffer, static_cast<size_t>(capacity), MSG_PEEK | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? Fail() : static_cast<int>(n);
}

int SockRecv(SocketHandle s, void* buffer, int capacity) {
    ssize_t n;
    do {
        n = recv(Fd(s), buffer, static_cast<size_t>(capacity), 0);
    } while (n < 0 && errno == EINTR);
    return n < 0 ? Fail() : static_cast<int>(n);
}

void SockSetAbortiveClose(SocketHandle s) {
    linger l{1, 0};
    setsockopt(Fd(s), SOL_SOCKET, SO_LINGER, &l, sizeof l);
}

std::string InetNtoa(uint32_t addrBe) {
    in_addr a{};
    a.s_addr = addrBe;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
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
    if (!released_ && handle_ != kInvalidSocket && handle_ != kNoSocket) close(Fd(handle_));
}

void CSocketHandle::Abort() {
    // shutdown wakes poll, recv and accept in every thread; the descriptor
    // number stays ours until the last reference is dropped.
    aborted_ = true;
    if (handle_ != kInvalidSocket && handle_ != kNoSocket) shutdown(Fd(handle_), SHUT_RDWR);
}

int SockWaitAbortable(const CSocketHandle& s, bool forWrite, int seconds) {
    // The shutdown of Abort wakes poll itself.
    return SockWait(s.Get(), forWrite, seconds);
}

SocketHandle CSocketHandle::Waker() const {
    return kNoSocket;
}

int SockSendWithin(const CSocketHandle& s, const void* data, int length, int seconds) {
    const int fd = Fd(s.Get());
    if (length > 0) {
        // Room in the send buffer is the rule: try first, wait only if full.
        ssize_t n;
        do {
            n = send(fd, data, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
        if (n >= 0) return static_cast<int>(n);
        if (errno != EAGAIN && errno != EWOULDBLOCK) return Fail();
    }
    // A failed wait goes on: the send reports the failure.
    if (SockWait(s.Get(), true, seconds) == 0) return kSockTimedOut;
    return SockSend(s.Get(), data, length);
}

int SockRecvWithin(const CSocketHandle& s, void* buffer, int capacity, int seconds) {
    const int fd = Fd(s.Get());
    // Without a limit the receive itself waits; the shutdown of Abort ends it.
    if (seconds < 0) return SockRecv(s.Get(), buffer, capacity);
    ssize_t n;
    do {
        n = recv(fd, buffer, static_cast<size_t>(capacity), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n >= 0) return static_cast<int>(n);
    if (errno != EAGAIN && errno != EWOULDBLOCK) return Fail();
    if (SockWait(s.Get(), false, seconds) == 0) return kSockTimedOut;
    return SockRecv(s.Get(), buffer, capacity);
}

}  // namespace tovl
