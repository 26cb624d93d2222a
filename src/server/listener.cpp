#include "server/listener.h"

#include "net/blocking_socket.h"
#include "platform/socket_api.h"
#include "platform/thread.h"
#include "server/port_session.h"
#include "server/rfc2217_listener.h"

namespace tovl {

namespace {

// Lives for the whole process; never destroyed, so a connection thread can
// still be waiting in Accept while the process ends.
CBlockingSocket& ListeningSocket() {
    static auto* socket = new CBlockingSocket(SocketVariant::Server);
    return *socket;
}

// Pause before waiting in Accept again after it failed (for example when the
// process is out of descriptors), so a lasting failure does not spin.
constexpr uint32_t kAcceptRetryPauseMs = 100;

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
    } catch (const CBlockingSocketException&) {
        listener.Close();
        return 1;
    }
    return 0;
}

int StartListener() {
    return StartListenerOn(kServerTcpPort);
}

uint32_t ConnectionThreadProc(void* /*param*/) {
    for (;;) {
        CBlockingSocket connection(SocketVariant::Server);
        SockAddrIn peer;
        peer.family = kAfInet;
        for (;;) {
            try {
                ListeningSocket().Accept(connection, &peer);
                break;
            } catch (const CBlockingSocketException&) {
                // Anything but an interrupted wait: wait in Accept again.
                connection.Close();
                SleepMs(kAcceptRetryPauseMs);
            }
        }
        // The next waiter starts before anything is read from this
        // connection. If no thread can be made, this one goes back to
        // accepting once its session has ended.
        bool nextStarted = StartThread([] { ConnectionThreadProc(nullptr); });
        RunPortSession(connection);
        if (nextStarted) return 0;
    }
}

uint32_t ServerWorkerThread(void* /*param*/) {
    if (StartListener() != 0) return 0;
    StartRfc2217Listeners();
    return ConnectionThreadProc(nullptr);
}

}  // namespace tovl
