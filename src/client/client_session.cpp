// A session's set-up (the open exchange) and the start and stop of its
// pumps.
#include "client/client_session.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "client/client_config.h"
#include "client/client_tls.h"
#include "client/data_pumps.h"
#include "config/address_text.h"
#include "config/remote_host.h"
#include "platform/ip_address.h"
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
    s.ServerHost = port.ServerHost;
    s.ServerText = port.ServerHost.empty()
                       ? std::string(s.RemoteAddress) + ":" + std::to_string(s.RemoteTcpPort)
                       : FormatRemoteHost(RemoteHost{port.ServerHost, port.RemoteTcpPort});
    s.use = use;
    s.stop.Create(CEvent::ResetMode::Auto, false);
    s.ended.Create(CEvent::ResetMode::Manual, false);
}

bool CClientSession::Connect() {
    ClientSessionContext& s = *context_;
    if (!s.ServerHost.empty())
        return ConnectPortToHost(s.socket, *s.port, s.RemoteComPort, s.ServerHost, s.RemoteTcpPort,
                                 s.LocalPort) == 0;
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

namespace {

// Connects to the first of candidates that answers, then performs the open
// exchange. server names the server in the log lines.
uint32_t OpenSession(CBlockingSocket& socket, CVirtualPort& port, int32_t remoteComPort,
                     const std::vector<SockAddr>& candidates, const std::string& server,
                     const char* connectHint, uint32_t n) {
    auto fail = [&](const std::string& why) {
        LogLine(LogPriority::Error, "virtual port %u: no session with COM%d of %s: %s", n,
                remoteComPort, server.c_str(), why.c_str());
        socket.Close();
        return 1u;
    };
    try {
        std::string refusals;
        bool connected = false;
        for (const SockAddr& address : candidates) {
            socket.Create(kSockStream, address.family);
            try {
                socket.Connect(address);
                connected = true;
                break;
            } catch (const CBlockingSocketException& e) {
                if (candidates.size() > 1)
                    refusals += (refusals.empty() ? "" : ", ") + PeerEndpointText(address) + " ";
                refusals += SocketErrorText(e.ErrorCode());
            }
        }
        if (!connected) return fail("connect: " + refusals + connectHint);
        std::string tlsProblem;
        if (!StartClientTls(socket, n, kOpenReplyTimeout, &tlsProblem)) return fail(tlsProblem);
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
        LogLine(LogPriority::Info, "virtual port %u: session with COM%d of %s set up", n,
                remoteComPort, server.c_str());
        return 0;
    } catch (const CBlockingSocketException& e) {
        return fail(e.Operation() + ": " + SocketErrorText(e.ErrorCode()));
    }
}

}  // namespace

uint32_t ConnectPort(CBlockingSocket& socket, CVirtualPort& port, int32_t remoteComPort,
                     const char* remoteAddress, uint16_t remoteTcpPort, uint32_t n) {
    if (!SockStartup()) return 1;
    // The dotted address as inet_addr reads it: no name is looked up here.
    SockAddr address;
    address.family = kAfInet;
    address.portBe = HostToNet16(remoteTcpPort);
    const uint32_t addrBe = InetAddr(remoteAddress);
    memcpy(address.addr, &addrBe, sizeof addrBe);
    const bool named = addrBe == kInaddrNone;
    return OpenSession(socket, port, remoteComPort, {address},
                       std::string(remoteAddress) + ":" + std::to_string(remoteTcpPort),
                       named ? " (the address is not dotted decimal)" : "", n);
}

uint32_t ConnectPortToHost(CBlockingSocket& socket, CVirtualPort& port, int32_t remoteComPort,
                           const std::string& host, uint16_t remoteTcpPort, uint32_t n) {
    if (!SockStartup()) return 1;
    const std::string server = FormatRemoteHost(RemoteHost{host, remoteTcpPort});
    std::vector<SockAddr> candidates;
    std::string why;
    if (ResolveHost(host, remoteTcpPort, &candidates, &why) != ResolveOutcome::Resolved) {
        LogLine(LogPriority::Error,
                "virtual port %u: no session with COM%d of %s: the name %s does not resolve "
                "(%s)",
                n, remoteComPort, server.c_str(), host.c_str(), why.c_str());
        socket.Close();
        return 1;
    }
    return OpenSession(socket, port, remoteComPort, candidates, server, "", n);
}

}  // namespace tovl
