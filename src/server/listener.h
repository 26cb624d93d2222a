// The server's front door: the listening socket on TCP 4445 and the chain of
// connection threads. Exactly one thread waits in Accept at a time; each
// accepted connection starts the next waiter before anything is read from it,
// then runs its port session on its own thread.
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

// Accepts one connection, starts the next connection thread, runs the
// session of the accepted connection. Returns 0.
uint32_t ConnectionThreadProc(void* param);

}  // namespace tovl
