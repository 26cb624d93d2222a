// The server's front door: the process-wide listening socket on TCP 4445
// and its accept loop (server/accept_loop.h): one thread accepts, and every
// connection runs its port session on a thread of its own, started at once
// for a listed peer and at its first message for any other.
#pragma once

#include <cstdint>

#include "config/product_keys.h"

namespace tovl {

// The worker of tovlserver: sets up the listener, then becomes the first
// connection thread. Returns 0 when the listener cannot be set up or the
// first connection's session has ended.
uint32_t ServerWorkerThread(void* param);

// 0 when the process-wide listening socket listens on TCP 4445, else 1.
int StartListener();
// The same on another port (tests).
int StartListenerOn(uint16_t port);

// Runs the accept loop of the listening socket with a port session per
// connection. Never returns.
[[noreturn]] uint32_t ConnectionThreadProc(void* param);

}  // namespace tovl
