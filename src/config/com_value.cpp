#include "config/com_value.h"

#include <cctype>

namespace tovl {

namespace {

// Decimal digits only (at most 10), from 1 to limit.
bool ParseDecimal(const std::string& text, uint32_t limit, uint32_t* value) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v == 0 || v > limit) return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

bool ParseComValueName(const std::string& name, uint32_t* portNumber) {
    if (name.size() < 4 || std::toupper(static_cast<unsigned char>(name[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(name[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(name[2])) != 'M')
        return false;
    return ParseDecimal(name.substr(3), 255, portNumber);
}

std::string TrimTrailingSpace(const std::string& data) {
    std::string text = data;
    while (!text.empty() &&
           (text.back() == '\0' || std::isspace(static_cast<unsigned char>(text.back()))))
        text.pop_back();
    return text;
}

bool ParseRfc2217Port(const std::string& data, uint16_t* tcpPort) {
    uint32_t port = 0;
    if (!ParseDecimal(TrimTrailingSpace(data), 65535, &port)) return false;
    *tcpPort = static_cast<uint16_t>(port);
    return true;
}

}  // namespace tovl
