// The two threads of a running session. Each takes the entry number of the
// port's ClientPort record as its parameter (cast to a pointer).
// SocketToDriverPump is the session socket's only reader, DriverToSocketPump
// its only writer; the latter ends the session when StopEvent is signalled
// or its connection fails. Each decrements the record's PumpsRunning as its
// very last act.
#pragma once

#include <cstdint>

namespace tovl {

uint32_t DriverToSocketPump(void* param);
uint32_t SocketToDriverPump(void* param);

}  // namespace tovl
