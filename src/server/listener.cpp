#include "server/listener.h"

#include "net/blocking_socket.h"
#include "platform/log.h"
#include "platform/socket_api.h"
#include "server/accept_loop.h"
#include "server/port_session.h"
#include "server/rfc2217_listener.h"

namespace tovl {

namespace {

// Lives for the whole process; never destroyed, so the accept loop can
// still be waiting on it while the process ends.
CBlockingSocket& ListeningSocket() {
    // Lives for the whole process; never destroyed while threads accept on it.
    // NOLINTNEXTLINE(cppcoreguidelines-owning-memory)
    static auto* socket = new CBlockingSocket(SocketVariant::Server);
    return *socket;
}

}  // namespace

int StartListenerOn(uint16_t port) {
    if (!SockStartup()) return 1;
    SockAddrIn address;
    address.family = kAfInet;
    address.portBe = HostToNet16(port);
    address.addrBe = HostToNet32(0);  // any local address
    CBlockingSocket& listener = ListeningSocket();
    try {
        listener.Create(kSockStream);
        listener.Bind(address);
        listener.Listen();
    } catch (const CBlockingSocketException& e) {
        LogLine(LogPriority::Error, "cannot listen on 0.0.0.0:%u: %s error %d", port,
                e.Operation().c_str(), e.ErrorCode());
        listener.Close();
        return 1;
    }
    LogLine(LogPriority::Info, "listening on 0.0.0.0:%u", port);
    return 0;
}

int StartListener() {
    return StartListenerOn(kServerTcpPort);
}

uint32_t ConnectionThreadProc(void* /*param*/) {
    RunAcceptLoop(ListeningSocket(), "port-link",
                  [](CBlockingSocket& connection) { RunPortSession(connection); });
}

uint32_t ServerWorkerThread(void* /*param*/) {
    if (StartListener() != 0) return 0;
    StartRfc2217Listeners();
    return ConnectionThreadProc(nullptr);
}

}  // namespace tovl
