// One RFC 2217 session: a connection accepted on the listener of COM<n>,
// served from connect to close. The peer is checked against the allowed
// addresses first, then the port is opened for exclusive use (so it is
// shared by neither protocol) and purged; closing the connection closes the
// port. Like the native session it owns its connection, port and reader; the
// reader (a second thread) sends the port's data and modem notices.
// Runs on the connection's own thread and returns when all has ended.
#pragma once

#include "net/blocking_socket.h"
#include "platform/serial_port.h"

namespace tovl {

void RunRfc2217Session(CBlockingSocket& connection, int portNumber);

// The same with the port taken from openPort (tests pass a fake).
void RunRfc2217SessionWith(CBlockingSocket& connection, int portNumber,
                           const SerialPortOpener& openPort);

}  // namespace tovl
