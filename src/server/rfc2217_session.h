// One RFC 2217 session: a connection accepted on the listener of COM<n>,
// served from connect to close. The peer is checked against the allowed
// addresses first, then the port is opened for exclusive use (so it is
// shared by neither protocol) and purged; closing the connection closes the
// port. It is a protocol on the session core (server/session_core.h), which
// owns the connection, the port and the reader.
// Runs on the connection's own thread and returns when all has ended.
#pragma once

#include "net/blocking_socket.h"
#include "platform/serial_port.h"
#include "server/admission.h"

namespace tovl {

void RunRfc2217Session(CBlockingSocket& connection, int portNumber,
                       const SessionAdmission& admission);

// The same with the port taken from openPort (tests pass a fake); without
// an admission the peer is asked of the connection.
void RunRfc2217SessionWith(CBlockingSocket& connection, int portNumber,
                           const SessionAdmission& admission, const SerialPortOpener& openPort);
void RunRfc2217SessionWith(CBlockingSocket& connection, int portNumber,
                           const SerialPortOpener& openPort);

}  // namespace tovl
