// The server's per-port listeners: one per value COM<n> = TCP port of the
// Rfc2217 key, and one per value COM<n> = TCPPORT;LINE of the Raw key, read
// once at start. Each listener has its own accept thread running the
// native listener's accept loop: a listed peer's connection is served on a
// thread of its own, any other is closed at once. Called once, by the
// server's worker, after the native listener is up.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "config/raw_value.h"

namespace tovl {

// The (COM number, TCP port) pairs the registry asks for; malformed values are skipped.
std::vector<std::pair<int, uint16_t>> ReadRfc2217Ports();

// Parses one value: "COM<n>" with n >= 1, data a TCP port in decimal text.
bool ParseRfc2217Value(const std::string& name, const std::string& data, int* portNumber,
                       uint16_t* tcpPort);

// The raw TCP ports the Raw key asks for (values COM<n> = TCPPORT;LINE);
// malformed values are skipped, logged.
struct RawPort {
    int portNumber = 0;
    uint16_t tcpPort = 0;
    RawLine line;
};
std::vector<RawPort> ReadRawPorts();

// Starts the RFC 2217 and raw listeners; returns how many listen.
int StartRfc2217Listeners();

}  // namespace tovl
