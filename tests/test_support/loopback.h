// Loopback peers for socket tests: a listener on a free port and raw
// connections from a chosen 127.x.y.z source address, made with the
// platform's plain socket calls so they do not depend on the class tested.
#pragma once

#include <cstdint>
#include <string>

#include "platform/socket_api.h"

namespace testing_support {

// A listening socket on 127.0.0.1 and a free port.
struct LoopbackListener {
    tovl::SocketHandle handle = tovl::kInvalidSocket;
    uint16_t port = 0;
    LoopbackListener();
    ~LoopbackListener();
    tovl::SocketHandle AcceptOne();
};

tovl::SockAddrIn LoopbackAddress(uint16_t port, const char* ip = "127.0.0.1");

// A plain connected socket from source address sourceIp (port chosen by the
// system). kInvalidSocket on failure.
tovl::SocketHandle ConnectFrom(const char* sourceIp, uint16_t port);

bool SendAll(tovl::SocketHandle s, const void* data, int length);
// Receives exactly length bytes within seconds; false on close or time-out.
bool RecvAll(tovl::SocketHandle s, void* buffer, int length, int seconds = 5);
void CloseRaw(tovl::SocketHandle s);

}  // namespace testing_support
