// The listening sockets and their accept loop, shared by every protocol the
// server speaks. One thread accepts and keeps a waiting room: a connection
// whose peer is on the allowed-address list gets a session thread at once
// (within the session limits of server/admission.h); any other waits,
// costing one descriptor and no thread, until its first bytes arrive, and
// only then gets its thread, if the strangers' limit allows. The room is
// bounded in number (the oldest is closed when a newcomer finds it full) and
// in time (a stranger's whole stay, room and session, is bounded), so
// strangers cannot use up what listed clients need.
//
// The loop owns the accepted connections until it hands each to its session
// callable, which runs on the connection's own thread and must close the
// connection before it returns. Nothing thrown leaves the loop or a
// session's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "net/blocking_socket.h"
#include "server/admission.h"

namespace tovl {

// Room for a burst of connections (every client reconnecting after a
// restart); never more than half the descriptors the process may hold.
constexpr size_t kWaitingRoomCapacity = kPollMaxSockets - 1;

using ConnectionSession = std::function<void(CBlockingSocket&, const SessionAdmission&)>;

struct AcceptLoopLimits {
    size_t capacity = kWaitingRoomCapacity;
    // For a protocol that has no reply for strangers: an unlisted peer is
    // closed as soon as it is accepted instead of waiting in the room.
    bool closeUnlisted = false;
    // For the port-link protocol: a stranger that finds the strangers'
    // sessions at their limit still gets the refusal to a whole open request.
    bool refuseOpenAtCap = false;
};

// Never returns. listener is listening; protocol names the service in the
// log lines ("port-link", ...).
[[noreturn]] void RunAcceptLoop(CBlockingSocket& listener, const char* protocol,
                                const ConnectionSession& session,
                                const AcceptLoopLimits& limits = AcceptLoopLimits{});

// A listener of its own on TCP port, with its accept loop on a thread of its
// own that runs for the whole process. False (logged) when it cannot listen
// or no thread can be had; name names it in the log ("rfc2217 COM3").
bool StartListenerThread(uint16_t port, const std::string& name, const ConnectionSession& session,
                         const AcceptLoopLimits& limits);

// Makes listener listen on TCP port (any local address): one IPv6 socket
// that takes IPv4 peers too, or, where the machine has no IPv6, an IPv4
// socket. False, logged with the reason, when it cannot; protocol names the
// listener in the log.
bool ListenOn(CBlockingSocket& listener, uint16_t port, const char* protocol);

}  // namespace tovl
