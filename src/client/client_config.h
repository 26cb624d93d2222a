// The client's configuration in the registry: the list of redirected ports
// (read once at start, handed to the session manager) and each port's
// serial time-outs (read at every connect). Called on the worker's thread.
#pragma once

#include <cstdint>
#include <vector>

#include "client/client_port.h"

namespace tovl {

// Parsed form of one "REMOTEPORT%d" value.
struct RemoteEnd {
    char Address[32] = {};
    uint16_t TcpPort = 0;
    int32_t ComPort = 0;
};

// Parses a remote-end text ("addr;com" or "addr:tcp;com"). False when a
// field is missing.
bool ParseRemoteEnd(const char* text, RemoteEnd* end);
// Parses "a;b;c;d;e" into five values; missing fields read as 0, anything
// after the fifth number is ignored.
void ParsePortTimeouts(const char* text, int32_t values[5]);

// The ports of Software\Dravik\TOVL\Connections, in value order; empty
// when the key is missing.
std::vector<ClientPort> ReadClientConnections();
// Reads the PORT<n> value of Software\Dravik\TOVL\Settings. On failure
// prints why to standard output and returns false.
bool ReadPortTimeouts(uint32_t n, int32_t values[5]);

}  // namespace tovl
