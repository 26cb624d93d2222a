// A raw TCP port of the server: the value COM<n> of the Raw key holds
// "<tcp port>;<speed>,<data bits><parity><stop bits>[,rtscts|,xonxoff]",
// for example "6003;115200,8N1" or "6004;9600,7E2,xonxoff". One parser
// for the server, which applies the line at each connect, and for tovladmin,
// which writes and checks the value. Pure text; any thread.
#pragma once

#include <cstdint>
#include <string>

namespace tovl {

enum class RawFlow { None, RtsCts, XonXoff };

struct RawLine {
    uint32_t baud = 9600;
    uint8_t dataBits = 8;  // 5 to 8
    char parity = 'N';     // N, E, O, M or S
    uint8_t stopBits = 1;  // 1 or 2
    RawFlow flow = RawFlow::None;
};

// "115200,8N1[,rtscts|,xonxoff]" (letters in either case). False, with the
// reason in *why, for anything else.
bool ParseRawLine(const std::string& text, RawLine* line, std::string* why);
std::string FormatRawLine(const RawLine& line);

// The data of a Raw value: the TCP port (1 to 65535, no leading zero) and
// the line. False, with the reason in *why.
bool ParseRawValue(const std::string& data, uint16_t* tcpPort, RawLine* line, std::string* why);

}  // namespace tovl
