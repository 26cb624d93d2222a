#include "config/raw_value.h"

#include <cctype>

namespace tovl {

namespace {

// Decimal digits only, no leading zero, at most max.
bool ParseNumber(const std::string& text, uint32_t max, uint32_t* value) {
    if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == '0')) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v == 0 || v > max) return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

bool ParseRawLine(const std::string& text, RawLine* line, std::string* why) {
    const size_t comma = text.find(',');
    if (comma == std::string::npos) {
        *why = "the line must read SPEED,FRAME such as 115200,8N1";
        return false;
    }
    RawLine parsed;
    if (!ParseNumber(text.substr(0, comma), 4000000, &parsed.baud)) {
        *why = "the speed must be a number from 1 to 4000000";
        return false;
    }
    const size_t next = text.find(',', comma + 1);
    const std::string frame =
        text.substr(comma + 1, next == std::string::npos ? std::string::npos : next - comma - 1);
    const char parity = frame.size() == 3 ? static_cast<char>(std::toupper(frame[1])) : '?';
    if (frame.size() != 3 || frame[0] < '5' || frame[0] > '8' ||
        std::string("NEOMS").find(parity) == std::string::npos ||
        (frame[2] != '1' && frame[2] != '2')) {
        *why = "the frame must be data bits 5-8, parity N/E/O/M/S and stop bits 1 or 2 (8N1)";
        return false;
    }
    parsed.dataBits = static_cast<uint8_t>(frame[0] - '0');
    parsed.parity = parity;
    parsed.stopBits = static_cast<uint8_t>(frame[2] - '0');
    if (next != std::string::npos) {
        const std::string flow = Lower(text.substr(next + 1));
        if (flow == "rtscts") {
            parsed.flow = RawFlow::RtsCts;
        } else if (flow == "xonxoff") {
            parsed.flow = RawFlow::XonXoff;
        } else {
            *why = "the handshake must be rtscts or xonxoff";
            return false;
        }
    }
    *line = parsed;
    return true;
}

std::string FormatRawLine(const RawLine& line) {
    std::string text = std::to_string(line.baud) + "," + std::to_string(line.dataBits) +
                       line.parity + std::to_string(line.stopBits);
    if (line.flow == RawFlow::RtsCts) text += ",rtscts";
    if (line.flow == RawFlow::XonXoff) text += ",xonxoff";
    return text;
}

bool ParseRawValue(const std::string& data, uint16_t* tcpPort, RawLine* line, std::string* why) {
    const size_t semicolon = data.find(';');
    uint32_t port = 0;
    if (semicolon == std::string::npos || !ParseNumber(data.substr(0, semicolon), 65535, &port)) {
        *why = "the value must read TCPPORT;SPEED,FRAME with a TCP port from 1 to 65535";
        return false;
    }
    if (!ParseRawLine(data.substr(semicolon + 1), line, why)) return false;
    *tcpPort = static_cast<uint16_t>(port);
    return true;
}

}  // namespace tovl
