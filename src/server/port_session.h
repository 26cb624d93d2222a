// One server port session: everything the server does for one accepted
// connection, from its first message to its end. Runs on the connection's
// own thread and returns when the session has ended and the connection is
// closed.
#pragma once

#include <cstdint>

#include "net/blocking_socket.h"

uint32_t RunPortSession(CBlockingSocket& connection);
