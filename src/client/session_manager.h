// The session manager: the one long-lived thread of the client. It waits for
// the virtual ports to be opened or closed, connects a port's session and
// starts its pumps, and signals a session's stop when its port is closed.
// Runs on the worker thread only.
#pragma once

#include <cstdint>

namespace tovl {

// Serves the ports of the table for ever; returns 0 at once when the table
// is empty.
uint32_t RunPortLoop();
// Connects virtual port n to its server and performs the open exchange.
// 0 on success (the socket of slot n is then ready for the pumps), 1 on
// failure (the socket is closed).
uint32_t ConnectPort(int32_t remoteComPort, const char* remoteAddress, uint16_t remoteTcpPort,
                     uint32_t n);

// Makes RunPortLoop return after its current wake-up, and its watcher
// threads (more than 64 ports) after their next one (tests).
void RequestPortLoopEnd();
// Watcher threads still running (tests).
uint32_t PortLoopWatchers();

}  // namespace tovl
