#include "client/client_port.h"

#include <cstring>
#include <memory>

namespace tovl {

ClientPort ClientPorts[kClientPortCapacity];
uint32_t ClientPortCount = 0;

namespace {

// Made once and never destroyed: pump threads may still use a socket while
// the process ends.
CBlockingSocket* SocketTable() {
    static auto* table = [] {
        auto* sockets = static_cast<CBlockingSocket*>(
            ::operator new(sizeof(CBlockingSocket) * kClientPortCapacity));
        for (uint32_t i = 0; i < kClientPortCapacity; ++i)
            new (&sockets[i]) CBlockingSocket(SocketVariant::Client);
        return sockets;
    }();
    return table;
}

}  // namespace

CBlockingSocket& PortSocket(uint32_t n) {
    return SocketTable()[n % kClientPortCapacity];
}

void ResetClientPorts() {
    for (auto& port : ClientPorts) {
        port.LocalPort = 0;
        memset(port.RemoteAddress, 0, sizeof port.RemoteAddress);
        port.RemoteTcpPort = 0;
        port.RemoteComPort = 0;
        port.OpenedEvent.Close();
        port.StopEvent.store(nullptr);
        port.StopEventObject.Close();
        port.PumpsRunning.store(0);
        port.Dropped.store(false);
        port.Use = 0;
    }
    ClientPortCount = 0;
}

}  // namespace tovl
