// The few stream-socket calls of Windows Sockets 1.1 / BSD sockets that the
// blocking socket class needs, with Windows Sockets error numbers on both
// platforms. Waits are readiness waits on one socket (poll on POSIX, so any
// descriptor number works); sends never raise SIGPIPE.
//
// Handles are owned by CSocketHandle: Abort wakes every thread blocked on the
// socket, and the descriptor itself is released only when the last
// reference goes, so a waiter never acts on a reused handle value.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace tovl {

using SocketHandle = uintptr_t;
constexpr SocketHandle kNoSocket = 0;
constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};

// The 16-byte IPv4 socket address; port and address in network byte order.
struct SockAddrIn {
    uint16_t family = 0;
    uint16_t portBe = 0;
    uint32_t addrBe = 0;
    uint8_t zero[8] = {};
};
static_assert(sizeof(SockAddrIn) == 16, "the address record is 16 bytes");

// Any IPv4 or IPv6 socket address, port in network byte order. An IPv4
// address (family kAfInet) fills the first 4 bytes of addr; scopeId is the
// interface of a link-local IPv6 address.
struct SockAddr {
    int family = 0;
    uint16_t portBe = 0;
    uint8_t addr[16] = {};
    uint32_t scopeId = 0;
};

constexpr int kAfInet = 2;
// The platform's own number for IPv6 (10 on Linux, 23 on Windows).
extern const int kAfInet6;
constexpr int kSockStream = 1;
constexpr uint32_t kInaddrNone = 0xFFFFFFFF;

// Windows Sockets error numbers the programs and tests look at.
constexpr int kWsaEintr = 10004;
constexpr int kWsaEbadf = 10009;
constexpr int kWsaEacces = 10013;
constexpr int kWsaEinval = 10022;
constexpr int kWsaEmfile = 10024;
constexpr int kWsaEwouldblock = 10035;
constexpr int kWsaEnotsock = 10038;
constexpr int kWsaEaddrinuse = 10048;
constexpr int kWsaEaddrnotavail = 10049;
constexpr int kWsaEnetunreach = 10051;
constexpr int kWsaEconnaborted = 10053;
constexpr int kWsaEconnreset = 10054;
constexpr int kWsaEnotconn = 10057;
constexpr int kWsaEshutdown = 10058;
constexpr int kWsaEtimedout = 10060;
constexpr int kWsaEconnrefused = 10061;
constexpr int kWsaEhostunreach = 10065;

// Starts the socket library (version 1.1 on Windows). True on success.
bool SockStartup();
// The most descriptors the process may hold now (its soft limit on POSIX,
// which SockStartup raises to the hard one; no limit on Windows).
size_t SockDescriptorLimit();

int SockLastError();
void SockSetLastError(int code);

SocketHandle SockSocket(int family, int type, int protocol);
// TCP_NODELAY = 1; the result is not reported.
void SockSetNoDelay(SocketHandle s);
// TCP keep-alive tuned so that a peer that vanished without a word (its
// packets lost) fails the calls on the socket within 30 s: probes after 10 s
// of silence, and on Linux TCP_USER_TIMEOUT for data left unacknowledged.
// The wire bytes of a working connection do not change. False when the
// platform refused the keep-alive itself.
bool SockSetKeepAlive(SocketHandle s);
// Whether SO_KEEPALIVE is on, read back from the socket (tests).
bool SockKeepAliveEnabled(SocketHandle s);
// SO_REUSEADDR where the platform's listeners need it to rebind at once after
// a restart (POSIX); nothing on Windows, where it would allow port stealing.
void SockPrepareListener(SocketHandle s);
bool SockConnect(SocketHandle s, const SockAddrIn& addr);
bool SockBind(SocketHandle s, const SockAddrIn& addr);
bool SockListen(SocketHandle s, int backlog);
// Returns the accepted handle or kInvalidSocket.
SocketHandle SockAccept(SocketHandle s, SockAddrIn* peer);
// The same calls with an address of either family.
bool SockConnectAddr(SocketHandle s, const SockAddr& addr);
bool SockBindAddr(SocketHandle s, const SockAddr& addr);
SocketHandle SockAcceptAddr(SocketHandle s, SockAddr* peer);
bool SockGetPeerAddr(SocketHandle s, SockAddr* peer);
// IPV6_V6ONLY off on an IPv6 socket, so that one listener takes IPv4 peers
// too (they appear as ::ffff:a.b.c.d). False when the platform refused.
bool SockSetDualStack(SocketHandle s);
bool SockGetPeerName(SocketHandle s, SockAddrIn* peer);
bool SockGetSockName(SocketHandle s, SockAddrIn* local);
// Waits until readable (forWrite false) or writable, at most seconds whole
// seconds (-1: no limit). 1 ready, 0 time-out, -1 the wait failed.
int SockWait(SocketHandle s, bool forWrite, int seconds);
// Waits until one of count sockets is readable (or hung up, or failed), at
// most timeoutMs milliseconds (-1: no limit); count is at most
// kPollMaxSockets. readable[i] tells which. The number of ready sockets,
// 0 at the time-out, -1 when the wait failed.
constexpr size_t kPollMaxSockets = 2048;
int SockPollReadable(const SocketHandle* handles, size_t count, int timeoutMs, bool* readable);
// One send or receive, no flags. The count, or -1 with the error set.
int SockSend(SocketHandle s, const void* data, int length);
// What has arrived, without taking it and without waiting (only after a
// readiness wait said the socket is readable): up to capacity bytes, 0 at
// the peer's end, -1 on failure.
int SockPeek(SocketHandle s, void* buffer, int capacity);
int SockRecv(SocketHandle s, void* buffer, int capacity);
// Makes the next close send a reset instead of a normal end (tests).
void SockSetAbortiveClose(SocketHandle s);

// Dotted text of an address in network byte order, as inet_ntoa gives it.
std::string InetNtoa(uint32_t addrBe);
// inet_addr: kInaddrNone for text that is no address.
uint32_t InetAddr(const char* text);
uint16_t HostToNet16(uint16_t v);
uint32_t HostToNet32(uint32_t v);
uint16_t NetToHost16(uint16_t v);

// Owner of one socket handle (which may be kInvalidSocket).
class CSocketHandle {
  public:
    explicit CSocketHandle(SocketHandle h) : handle_(h) {}
    ~CSocketHandle();
    CSocketHandle(const CSocketHandle&) = delete;
    CSocketHandle& operator=(const CSocketHandle&) = delete;

    SocketHandle Get() const { return handle_; }
    // Wakes every thread blocked on this socket; afterwards every call on it
    // fails. Called once, by the close.
    void Abort();
    bool IsAborted() const { return aborted_; }

    // Windows: a datagram socket of this handle's own that Abort makes
    // readable, so a wait on both ends at once (made at the first wait).
    // kNoSocket where it could not be made, and always on POSIX.
    SocketHandle Waker() const;

  private:
    SocketHandle handle_;
    std::atomic<bool> aborted_{false};
    bool released_ = false;
    mutable std::atomic<SocketHandle> waker_{kNoSocket};
    mutable std::mutex wakerLock_;
    // Used by the Windows backend only.
    [[maybe_unused]] mutable bool wakerTried_ = false;
};

// SockWait on an owned socket that also ends at once when the socket is
// aborted from another thread (then reported as ready, so the call that
// follows fails).
int SockWaitAbortable(const CSocketHandle& s, bool forWrite, int seconds);

// One send or receive on an owned socket, with the wait for the socket to be
// ready bounded by seconds (-1: no limit; sends always pass a limit) and
// ended by an abort. A socket already ready is not waited for. The count
// (for a receive 0 when the peer has closed), -1 with the error set when
// the call failed, kSockTimedOut when the wait ran out first.
constexpr int kSockTimedOut = -2;
int SockSendWithin(const CSocketHandle& s, const void* data, int length, int seconds);
int SockRecvWithin(const CSocketHandle& s, void* buffer, int capacity, int seconds);

}  // namespace tovl
