// Admission of connections, for every protocol the server speaks: whether a
// peer is listed, how many sessions may run (in all, per peer address, and
// of strangers: peers not on the list), and how long a stranger may stay.
//
// The accept loop takes a slot for each connection before it starts the
// connection's thread and hands it to the session in a SessionAdmission; the
// slot is given back when the last copy of its ticket goes. Listed clients
// and strangers count against separate totals, so strangers can never take
// the room a listed client needs. A stranger's connection is closed at its
// deadline whatever it is doing (CStrangerWatch), so its stay is bounded
// however slowly it sends. Every function here may be called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "net/blocking_socket.h"

namespace tovl {

struct SessionLimits {
    size_t maxSessions = 4096;   // listed clients' sessions in all
    size_t maxPerAddress = 256;  // sessions of one peer address
    size_t maxStrangers = 64;    // strangers' sessions in all
    std::chrono::milliseconds strangerStay{10000};
};

// What a session knows of its connection when it starts.
struct SessionAdmission {
    // False: nothing is known yet, the core asks the connection (tests and
    // callers that did not come through the accept loop).
    bool known = false;
    bool listed = false;
    std::string address;                             // its allowed-list name
    std::string peer;                                // "a.b.c.d:port", "[v6]:port"
    std::chrono::steady_clock::time_point deadline;  // a stranger's end of stay
    std::shared_ptr<const void> ticket;              // the slot, held while it runs
};

// The limits in force; read from the registry at start (ReadSessionLimits).
SessionLimits CurrentSessionLimits();
void SetSessionLimits(const SessionLimits& limits);
// The limits of the Server key's values MaxSessions, MaxSessionsPerAddress
// and MaxStrangers, each a decimal number; a value missing or unusable keeps
// its default (logged).
SessionLimits ReadSessionLimits();

// Takes a slot for a session of address. False, with the cause for the log
// in *refusal, when a limit is reached.
bool TakeSessionSlot(const std::string& address, bool listed, std::shared_ptr<const void>* ticket,
                     std::string* refusal);
// Sessions running now, listed and strangers (status and tests).
size_t RunningSessions(bool listed);

// Admission of a connection that did not come through the accept loop:
// the peer as the connection tells it. False when the connection cannot tell
// (reset before the session started).
bool AdmitConnection(CBlockingSocket& connection, SessionAdmission* admission);

// Closes a stranger's connection at its deadline. Disarm must come before
// the connection object goes away; after it returns, the watch no longer
// touches the connection.
class CStrangerWatch {
  public:
    CStrangerWatch(CBlockingSocket& connection, std::chrono::steady_clock::time_point deadline);
    ~CStrangerWatch();
    CStrangerWatch(const CStrangerWatch&) = delete;
    CStrangerWatch& operator=(const CStrangerWatch&) = delete;

    // True once the deadline has closed the connection.
    bool Expired() const;

  private:
    uint64_t id_;
};

}  // namespace tovl
