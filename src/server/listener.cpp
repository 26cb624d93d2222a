#include "server/listener.h"

#include "net/blocking_socket.h"
#include "platform/serial_port.h"
#include "server/accept_loop.h"
#include "server/control_channel.h"
#include "server/port_session.h"
#include "server/rfc2217_listener.h"
#include "server/session_registry.h"
#include "server/tls_listener.h"

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
    if (!ListenOn(ListeningSocket(), port, "port-link")) return 1;
    RegisterListener(ListenerInfo{"port-link", port, 0});
    return 0;
}

int StartListener() {
    return StartListenerOn(kServerTcpPort);
}

uint32_t ConnectionThreadProc(void* /*param*/) {
    AcceptLoopLimits limits;
    limits.refuseOpenAtCap = true;
    RunAcceptLoop(
        ListeningSocket(), "port-link",
        [](CBlockingSocket& connection, const SessionAdmission& admission) {
            RunPortSession(connection, admission);
        },
        limits);
}

uint32_t ServerWorkerThread(void* /*param*/) {
    SetSessionLimits(ReadSessionLimits());
    CheckSerialHolderVisibility();
    if (StartListener() != 0) return 0;
    StartRfc2217Listeners();
    StartTlsListeners();
    StartControlChannel();
    return ConnectionThreadProc(nullptr);
}

}  // namespace tovl
