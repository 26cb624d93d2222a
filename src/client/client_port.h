// The client's process-wide port table: one ClientPort record per
// redirected virtual port, filled once by ReadClientConnections before any
// session exists, and the 256 session sockets indexed by port number.
//
// After start-up only StopEvent and the sockets change. StopEvent points at
// the record's own event object (the object lives as long as the table) or
// is null while no session runs; it is an atomic so the manager (which
// signals it) and the driver-to-socket pump (which clears it) meet without a
// race. PumpsRunning counts the session's pump threads still alive, so a new
// session of the port starts only after the old one has ended completely.
// Dropped tells the writing pump that the reading one saw the connection end.
#pragma once

#include <atomic>
#include <cstdint>

#include "net/blocking_socket.h"
#include "platform/event.h"

namespace tovl {

constexpr uint32_t kClientPortCapacity = 256;

struct ClientPort {
    uint32_t LocalPort = 0;
    char RemoteAddress[32] = {};
    uint16_t RemoteTcpPort = 0;
    int32_t RemoteComPort = 0;
    tovl::CEvent OpenedEvent;
    std::atomic<tovl::CEvent*> StopEvent{nullptr};
    // Storage of the session's stop event; touched only by the manager.
    tovl::CEvent StopEventObject;
    std::atomic<int> PumpsRunning{0};
    // Set by the socket-to-driver pump when the connection ended under a
    // running session; the other pump then ends it without PL_CLOSE.
    std::atomic<bool> Dropped{false};
    // The virtual port's use count when the running session started;
    // touched only by the manager.
    uint32_t Use = 0;
};

extern ClientPort ClientPorts[kClientPortCapacity];
extern uint32_t ClientPortCount;

// The session socket of virtual port n (0 to 255).
CBlockingSocket& PortSocket(uint32_t n);

// Empties the table (tests; the program fills it once).
void ResetClientPorts();

}  // namespace tovl
