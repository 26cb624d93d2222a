// One server port session: everything the server does for one accepted
// connection, from its first message to its end. Runs on the connection's
// own thread and returns when the session has ended, the port is closed, the
// port reader has finished and the connection is closed.
#pragma once

#include <cstdint>

#include "net/blocking_socket.h"
#include "platform/serial_port.h"

namespace tovl {

uint32_t RunPortSession(CBlockingSocket& connection);

// The same with the ports taken from openPort (tests pass a fake).
uint32_t RunPortSessionWith(CBlockingSocket& connection, const tovl::SerialPortOpener& openPort);

}  // namespace tovl
