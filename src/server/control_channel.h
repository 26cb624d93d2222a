// The server's local control channel: an operator asks a running server
// what it is doing and ends a session, with `tovladmin status` and
// `tovladmin disconnect COM<n>`. On Linux a Unix socket,
// $TOVL_RUN_DIR/control (default /run/tovl/control), mode 0660, owned by
// root and the group named by the Server key's value ControlGroup (root
// when missing); each request is checked with the peer's credentials. On
// Windows the channel is not offered.
//
// One request per connection, a line: "status", "status json",
// "disconnect COM<n>" or "trace COM<n> [raw]"; the answer is text (or one
// JSON object) and the server closes the connection, except for a trace,
// which streams on a thread of its own (at most 8 at once) until its reader
// leaves. A slow or silent peer holds the channel's
// own thread for at most a few seconds and never a session: requests are
// answered from the session registry (server/session_registry.h).
#pragma once

#include <string>

namespace tovl {

// Starts the channel's thread. False (logged) when the channel cannot be
// offered; the server runs on without it.
bool StartControlChannel();

// The answer to one request line (without its newline) from a peer the
// channel has let in; who names the peer in the log ("uid 0").
std::string AnswerControlRequest(const std::string& request, const std::string& who);

}  // namespace tovl
