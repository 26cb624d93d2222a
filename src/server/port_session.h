// One server port session of the port-link protocol: everything the server
// does for one accepted connection, from its first message to its end, as a
// protocol on the session core (server/session_core.h). Runs on the
// connection's own thread and returns when the session has ended, the port
// is closed, the port reader has finished and the connection is closed.
#pragma once

#include <cstdint>

#include "net/blocking_socket.h"
#include "platform/serial_port.h"
#include "server/admission.h"

namespace tovl {

uint32_t RunPortSession(CBlockingSocket& connection, const SessionAdmission& admission);

// The same with the ports taken from openPort (tests pass a fake); without
// an admission the peer is asked of the connection.
uint32_t RunPortSessionWith(CBlockingSocket& connection, const SessionAdmission& admission,
                            const SerialPortOpener& openPort);
uint32_t RunPortSessionWith(CBlockingSocket& connection, const SerialPortOpener& openPort);

}  // namespace tovl
