#include "test_support/loopback.h"

using namespace tovl;

namespace testing_support {

SockAddrIn LoopbackAddress(uint16_t port, const char* ip) {
    SockAddrIn a;
    a.family = kAfInet;
    a.portBe = HostToNet16(port);
    a.addrBe = InetAddr(ip);
    return a;
}

LoopbackListener::LoopbackListener() {
    SockStartup();
    handle = SockSocket(kAfInet, kSockStream, 0);
    SockBind(handle, LoopbackAddress(0));
    SockListen(handle, 64);
    SockAddrIn local;
    SockGetSockName(handle, &local);
    port = NetToHost16(local.portBe);
}

LoopbackListener::~LoopbackListener() {
    CloseRaw(handle);
}

SocketHandle LoopbackListener::AcceptOne() {
    SockAddrIn peer;
    return SockAccept(handle, &peer);
}

SocketHandle ConnectFrom(const char* sourceIp, uint16_t port) {
    SockStartup();
    SocketHandle s = SockSocket(kAfInet, kSockStream, 0);
    if (s == kInvalidSocket) return s;
    if (!SockBind(s, LoopbackAddress(0, sourceIp)) || !SockConnect(s, LoopbackAddress(port))) {
        CloseRaw(s);
        return kInvalidSocket;
    }
    return s;
}

bool SendAll(SocketHandle s, const void* data, int length) {
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        int n = SockSend(s, p, length);
        if (n <= 0) return false;
        p += n;
        length -= n;
    }
    return true;
}

bool RecvAll(SocketHandle s, void* buffer, int length, int seconds) {
    char* p = static_cast<char*>(buffer);
    while (length > 0) {
        if (SockWait(s, false, seconds) != 1) return false;
        int n = SockRecv(s, p, length);
        if (n <= 0) return false;
        p += n;
        length -= n;
    }
    return true;
}

void CloseRaw(SocketHandle s) {
    if (s != kInvalidSocket) CSocketHandle owner(s);
}

}  // namespace testing_support
