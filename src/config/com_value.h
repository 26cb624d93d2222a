// The server's per-port values (keys Rfc2217 and Raw) are named COM<n>; an
// Rfc2217 value's data is the TCP port in decimal text. One reading of both
// for the server, which opens the listeners, and for tovladmin check, which
// must judge a value exactly as the server reads it. Pure text; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace tovl {

// "COM<n>" (any letter case), n in decimal (leading zeros allowed) from 1
// to 255; the number in *portNumber.
bool ParseComValueName(const std::string& name, uint32_t* portNumber);

// An Rfc2217 value's data: a decimal TCP port from 1 to 65535 (leading
// zeros allowed); trailing white space and NULs are not part of it, so a
// value written by "echo" reads the same.
bool ParseRfc2217Port(const std::string& data, uint16_t* tcpPort);

// data without its trailing white space and NULs.
std::string TrimTrailingSpace(const std::string& data);

}  // namespace tovl
