// One running session of a virtual port: its connection to the server and
// the two pumps that move the port's traffic over it.
//
// The session's state lives in a ClientSessionContext shared by the session
// object and both pump threads, so a pump that outlives the manager's
// interest (or the object) still finds its socket and events. The manager
// owns the CClientSession, connects it, starts it, asks it to stop, and
// learns from its ended event (manual reset, set once by the last pump to
// finish) that both pumps are gone. The object's methods are for the
// manager's thread; the context's members say which thread touches them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "client/client_port.h"
#include "client/virtual_port.h"
#include "net/blocking_socket.h"
#include "platform/event.h"

namespace tovl {

struct ClientSessionContext {
    // Fixed before the pumps start.
    uint32_t LocalPort = 0;
    char RemoteAddress[32] = {};
    uint16_t RemoteTcpPort = 0;
    int32_t RemoteComPort = 0;
    std::string ServerHost;  // as ClientPort's
    // The server as log lines name it: "a.b.c.d:port", "name:port", "[v6]:port".
    std::string ServerText;
    // The virtual port, and the use of it the session serves.
    std::shared_ptr<CVirtualPort> port;
    uint32_t use = 0;
    // The driver-to-socket pump is its only writer, the socket-to-driver
    // pump its only reader once they run.
    CBlockingSocket socket{SocketVariant::Client};
    // Auto reset: set by the manager (the port was closed) or by the reader
    // (the connection ended); taken by the writing pump.
    CEvent stop;
    CEvent ended;
    std::atomic<int> pumpsRunning{0};
    // Cleared by the writing pump as it ends: a stop means nothing then.
    std::atomic<bool> serving{false};
    // Set by the reading pump when the connection ended under a running
    // session; the writing pump then ends it without PL_CLOSE.
    std::atomic<bool> dropped{false};
};

// Called by each pump as its very last act; the last one sets ended.
void PumpFinished(ClientSessionContext& session);

class CClientSession {
  public:
    // Serves use `use` (the port's use count) of virtualPort.
    CClientSession(const ClientPort& port, std::shared_ptr<CVirtualPort> virtualPort, uint32_t use);
    CClientSession(const CClientSession&) = delete;
    CClientSession& operator=(const CClientSession&) = delete;

    // Connects to the server and performs the open exchange. False when the
    // session cannot be set up (the reason is logged, the socket closed).
    bool Connect();
    // Starts both pumps; when a thread cannot be made the session ends at
    // once (ended is then set).
    void Start();
    // Asks a running session to end (its writer sends PL_CLOSE).
    void Stop();
    // The writing pump still runs: a stop would be served.
    bool Serving() const { return context_->serving.load(); }
    bool HasEnded() { return context_->ended.Wait(0) == 0; }
    CEvent& Ended() { return context_->ended; }
    uint32_t Use() const { return use_; }
    // The shared state (tests).
    const std::shared_ptr<ClientSessionContext>& Context() const { return context_; }

  private:
    std::shared_ptr<ClientSessionContext> context_;
    uint32_t use_;
};

// Connects socket to the server and performs the open exchange for virtual
// port n (its lines and settings are port's). 0 on success (the socket is
// then ready for the pumps), 1 on failure (the socket is closed).
uint32_t ConnectPort(CBlockingSocket& socket, CVirtualPort& port, int32_t remoteComPort,
                     const char* remoteAddress, uint16_t remoteTcpPort, uint32_t n);
// The same with the server named by host (a host name, or numeric text of
// either family), resolved now: each of its addresses is tried in turn. A
// name that does not resolve is logged and fails like an unreachable server.
uint32_t ConnectPortToHost(CBlockingSocket& socket, CVirtualPort& port, int32_t remoteComPort,
                           const std::string& host, uint16_t remoteTcpPort, uint32_t n);

}  // namespace tovl
