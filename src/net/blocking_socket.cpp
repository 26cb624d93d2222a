#include "net/blocking_socket.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/thread.h"

namespace tovl {

CBlockingSocketException::CBlockingSocketException(const char* operation)
    : error_(SockLastError()), operation_(operation) {}

bool CBlockingSocketException::GetErrorMessage(char* text, unsigned capacity,
                                               unsigned* /*helpContext*/) const {
    char scratch[200];
    if (error_ != 0)
        snprintf(scratch, sizeof scratch, "%s error #%d", operation_.c_str(), error_);
    else
        snprintf(scratch, sizeof scratch, "%s error", operation_.c_str());
    if (text != nullptr && capacity > 0) {
        size_t n = std::min<size_t>(strlen(scratch), capacity - 1);
        memcpy(text, scratch, n);
        text[n] = '\0';
    }
    return true;
}

std::shared_ptr<CSocketHandle> CBlockingSocket::Acquire() const {
    std::lock_guard<std::mutex> guard(lock_);
    return socket_;
}

void CBlockingSocket::Store(SocketHandle handle) {
    auto owner = std::make_shared<CSocketHandle>(handle);
    std::lock_guard<std::mutex> guard(lock_);
    socket_ = std::move(owner);
}

SocketHandle CBlockingSocket::Handle() const {
    auto s = Acquire();
    return s ? s->Get() : kNoSocket;
}

void CBlockingSocket::Create(int type) {
    Create(type, kAfInet);
}

void CBlockingSocket::Create(int type, int family) {
    if (variant_ == SocketVariant::Client && !HoldsSocket()) SleepMs(1000);
    SocketHandle h = SockSocket(family, type, 0);
    Store(h);
    if (h == kInvalidSocket) throw CBlockingSocketException("Create");
    SockSetNoDelay(h);
    // Every connection this object makes notices a vanished peer.
    SockSetKeepAlive(h);
}

void CBlockingSocket::Connect(const SockAddrIn& address) {
    auto s = Acquire();
    if (!s) SockSetLastError(kWsaEnotsock);
    if (!s || !SockConnect(s->Get(), address)) throw CBlockingSocketException("Connect");
}

void CBlockingSocket::Connect(const SockAddr& address) {
    auto s = Acquire();
    if (!s) SockSetLastError(kWsaEnotsock);
    if (!s || !SockConnectAddr(s->Get(), address)) throw CBlockingSocketException("Connect");
}

void CBlockingSocket::Bind(const SockAddr& address) {
    auto s = Acquire();
    if (!s) SockSetLastError(kWsaEnotsock);
    if (s) SockPrepareListener(s->Get());
    if (!s || !SockBindAddr(s->Get(), address)) throw CBlockingSocketException("Bind");
}

void CBlockingSocket::Bind(const SockAddrIn& address) {
    auto s = Acquire();
    if (!s) SockSetLastError(kWsaEnotsock);
    if (s) SockPrepareListener(s->Get());
    if (!s || !SockBind(s->Get(), address)) throw CBlockingSocketException("Bind");
}

void CBlockingSocket::Listen() {
    auto s = Acquire();
    if (!s) SockSetLastError(kWsaEnotsock);
    if (!s || !SockListen(s->Get(), kListenBacklog)) throw CBlockingSocketException("Listen");
}

template <typename AcceptCall>
bool CBlockingSocket::AcceptWith(CBlockingSocket& target, const AcceptCall& call) {
    auto s = Acquire();
    SocketHandle h = kInvalidSocket;
    if (s)
        h = call(s->Get());
    else
        SockSetLastError(kWsaEnotsock);
    int error = SockLastError();
    if (h != kInvalidSocket) SockSetKeepAlive(h);
    target.Store(h);
    if (h != kInvalidSocket) return true;
    SockSetLastError(error);
    if (error == kWsaEintr) return false;
    throw CBlockingSocketException("Accept");
}

bool CBlockingSocket::Accept(CBlockingSocket& target, SockAddrIn* peer) {
    return AcceptWith(target, [peer](SocketHandle s) { return SockAccept(s, peer); });
}

bool CBlockingSocket::Accept(CBlockingSocket& target, SockAddr* peer) {
    return AcceptWith(target, [peer](SocketHandle s) { return SockAcceptAddr(s, peer); });
}

void CBlockingSocket::GetPeerName(SockAddrIn* peer) {
    auto s = Acquire();
    if (!s) SockSetLastError(kWsaEnotsock);
    if (!s || !SockGetPeerName(s->Get(), peer)) throw CBlockingSocketException("GetPeerName");
}

void CBlockingSocket::GetPeerName(SockAddr* peer) {
    auto s = Acquire();
    if (!s) SockSetLastError(kWsaEnotsock);
    if (!s || !SockGetPeerAddr(s->Get(), peer)) throw CBlockingSocketException("GetPeerName");
}

int CBlockingSocket::Send(const void* data, int length, int seconds) {
    auto s = Acquire();
    if (!s) {
        SockSetLastError(kWsaEnotsock);
        throw CBlockingSocketException("Send");
    }
    // Waits only when the socket is not ready; a failed wait goes on, and
    // the send reports the failure.
    const int sent = SockSendWithin(*s, data, length, seconds);
    if (sent == kSockTimedOut) throw CBlockingSocketException("Send timeout");
    if (sent < 0) throw CBlockingSocketException("Send");
    return sent;
}

int CBlockingSocket::Receive(void* buffer, int capacity, int seconds) {
    auto s = Acquire();
    if (!s) {
        if (variant_ == SocketVariant::Client) return 0;
        SockSetLastError(kWsaEnotsock);
        return -1;
    }
    // Without a limit the outcome of the wait is not looked at.
    const int got = SockRecvWithin(*s, buffer, capacity, seconds < 0 ? -1 : seconds);
    if (got == kSockTimedOut) throw CBlockingSocketException("Receive timeout");
    if (got < 0 && variant_ == SocketVariant::Client) throw CBlockingSocketException("Receive");
    return got;
}

int CBlockingSocket::Write(const void* data, int length, int seconds) {
    if (variant_ == SocketVariant::Server && !HoldsSocket()) return 0;
    const char* bytes = static_cast<const char*>(data);
    int done = 0;
    do {
        done += Send(bytes + done, length - done, seconds);
    } while (done < length);
    return done;
}

int CBlockingSocket::Read(void* buffer, int length, int seconds) {
    if (variant_ == SocketVariant::Server && !HoldsSocket()) return 0;
    char* bytes = static_cast<char*>(buffer);
    int done = 0;
    do {
        int chunk = std::min(length - done, 1024);
        int got = Receive(bytes + done, chunk, seconds);
        if (got == -1) return -1;
        if (got == 0 && chunk > 0) return -1;
        done += got;
    } while (done < length);
    return done;
}

void CBlockingSocket::Close() {
    std::shared_ptr<CSocketHandle> s;
    {
        std::lock_guard<std::mutex> guard(lock_);
        s.swap(socket_);
    }
    if (s) s->Abort();
}

}  // namespace tovl
