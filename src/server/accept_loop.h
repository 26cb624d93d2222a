// The accept loop of a listening socket, shared by every protocol the server
// speaks. One thread accepts and keeps a waiting room: a connection whose
// peer is on the allowed-address list gets a session thread at once; any
// other waits, costing one descriptor and no thread, until its first bytes
// arrive, and only then gets its thread. The room is bounded in number (the
// oldest is closed when a newcomer finds it full) and in time (a connection
// silent for kWaitingRoomPatienceMs is closed), so strangers cannot use up
// what listed clients need.
//
// The loop owns the accepted connections until it hands each to its session
// callable, which runs on the connection's own thread and must close the
// connection before it returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "net/blocking_socket.h"

namespace tovl {

// Room for a burst of connections (every client reconnecting after a
// restart); never more than half the descriptors the process may hold.
constexpr size_t kWaitingRoomCapacity = kPollMaxSockets - 1;
constexpr uint32_t kWaitingRoomPatienceMs = 30000;

using ConnectionSession = std::function<void(CBlockingSocket&)>;

struct AcceptLoopLimits {
    size_t capacity = kWaitingRoomCapacity;
    uint32_t patienceMs = kWaitingRoomPatienceMs;
    // For a protocol that has no reply for strangers: an unlisted peer is
    // closed as soon as it is accepted instead of waiting in the room.
    bool closeUnlisted = false;
};

// Never returns. listener is listening; protocol names the service in the
// log lines ("port-link", ...).
[[noreturn]] void RunAcceptLoop(CBlockingSocket& listener, const char* protocol,
                                const ConnectionSession& session,
                                const AcceptLoopLimits& limits = AcceptLoopLimits{});

// "a.b.c.d:port" of a socket address (log lines).
std::string PeerText(const SockAddrIn& peer);

}  // namespace tovl
