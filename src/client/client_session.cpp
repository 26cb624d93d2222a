// A session's set-up (the open exchange) and the start and stop of its
// pumps.
#include "client/client_session.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "client/client_config.h"
#include "client/data_pumps.h"
#include "platform/log.h"
#include "platform/socket_api.h"
#include "platform/thread.h"

namespace tovl {

namespace {

// The words for the socket errors a connect meets; others by number.
std::string SocketErrorText(int error) {
    switch (error) {
        case kWsaEconnrefused:
            return "connection refused";
        case kWsaEtimedout:
            return "timed out";
        case kWsaEnetunreach:
            return "network unreachable";
        case kWsaEhostunreach:
            return "host unreachable";
        case kWsaEconnreset:
            return "connection reset";
        case kWsaEaddrnotavail:
            return "address not available";
        default:
            return "socket error " + std::to_string(error);
    }
}

}  // namespace

void PumpFinished(ClientSessionContext& session) {
    if (session.pumpsRunning.fetch_sub(1) == 1) session.ended.Set();
}

CClientSession::CClientSession(const ClientPort& port, std::shared_ptr<CVirtualPort> virtualPort,
                               uint32_t use)
    : context_(std::make_shared<ClientSessionContext>()), use_(use) {
    ClientSessionContext& s = *context_;
    s.port = std::move(virtualPort);
    s.LocalPort = port.LocalPort;
    memcpy(s.RemoteAddress, port.RemoteAddress, sizeof s.RemoteAddress);
    s.RemoteAddress[sizeof s.RemoteAddress - 1] = '\0';
    s.RemoteTcpPort = port.RemoteTcpPort;
    s.RemoteComPort = port.RemoteComPort;
    s.use = use;
    s.stop.Create(CEvent::ResetMode::Auto, false);
    s.ended.Create(CEvent::ResetMode::Manual, false);
}

bool CClientSession::Connect() {
    ClientSessionContext& s = *context_;
    return ConnectPort(s.socket, *s.port, s.RemoteComPort, s.RemoteAddress, s.RemoteTcpPort,
                       s.LocalPort) == 0;
}

void CClientSession::Start() {
    // Each thread keeps the context alive until it returns.
    std::shared_ptr<ClientSessionContext> s = context_;
    s->dropped.store(false);
    s->serving.store(true);
    s->pumpsRunning.store(2);
    if (!StartThread([s] {
            SocketToDriverPump(*s);
            PumpFinished(*s);
        }))
        PumpFinished(*s);
    if (!StartThread([s] {
            DriverToSocketPump(*s);
            PumpFinished(*s);
        })) {
        // Nobody would end the session: end it here.
        s->socket.Close();
        s->serving.store(false);
        PumpFinished(*s);
    }
}

void CClientSession::Stop() {
    context_->stop.Set();
}

uint32_t ConnectPort(CBlockingSocket& socket, CVirtualPort& port, int32_t remoteComPort,
                     const char* remoteAddress, uint16_t remoteTcpPort, uint32_t n) {
    if (!SockStartup()) return 1;
    SockAddrIn address;
    address.family = kAfInet;
    address.portBe = HostToNet16(remoteTcpPort);
    address.addrBe = InetAddr(remoteAddress);
    const unsigned tcpPort = remoteTcpPort;
    auto fail = [&](const std::string& why) {
        LogLine(LogPriority::Error, "virtual port %u: no session with COM%d of %s:%u: %s", n,
                remoteComPort, remoteAddress, tcpPort, why.c_str());
        socket.Close();
        return 1u;
    };
    try {
        socket.Create();
        try {
            socket.Connect(address);
        } catch (const CBlockingSocketException& e) {
            const bool named = address.addrBe == kInaddrNone;
            return fail("connect: " + SocketErrorText(e.ErrorCode()) +
                        (named ? " (the address is not dotted decimal)" : ""));
        }
        SendU32Message(socket, PL_OPEN, static_cast<uint32_t>(remoteComPort), kFieldTimeout);
        uint32_t result = 0;
        if (!ReadU32(socket, &result, kOpenReplyTimeout))
            return fail("the server closed the connection or gave no reply");
        if (result == PL_OPEN_FAILED) {
            printf("ERROR open remote real ports!\n");
            fflush(stdout);
            return fail(
                "refused by the server (address not allowed, or the port missing or busy: the "
                "server's log says which)");
        }
        uint32_t mask = 0;
        if (!ReadU32(socket, &mask, kFieldTimeout))
            return fail("the connection ended during the open");
        port.SetLines(mask);
        int32_t timeouts[5];
        if (!ReadPortTimeouts(n, timeouts)) return fail("its time-outs cannot be read");
        for (int32_t value : timeouts)
            WriteU32(socket, static_cast<uint32_t>(value), kFieldTimeout);
        // Without the provider's settings the record goes out as it starts
        // (all zero).
        PortLinkSettings settings;
        port.Settings(&settings);
        SendSettingsMessage(socket, settings, kFieldTimeout);
        port.SessionSetUp();
        LogLine(LogPriority::Info, "virtual port %u: session with COM%d of %s:%u set up", n,
                remoteComPort, remoteAddress, tcpPort);
        return 0;
    } catch (const CBlockingSocketException& e) {
        return fail(e.Operation() + ": " + SocketErrorText(e.ErrorCode()));
    }
}

}  // namespace tovl
