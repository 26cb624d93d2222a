#include "config/value_text.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "config/product_keys.h"

namespace tovl {

bool IsDecimalIn(const std::string& text, long low, long high, long* value) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    *value = strtol(text.c_str(), nullptr, 10);
    return *value >= low && *value <= high;
}

bool IsSignedDecimal(const std::string& text) {
    size_t i = text.size() > 1 && text[0] == '-' ? 1 : 0;
    if (i == text.size()) return false;
    for (; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

bool IsDottedDecimal(const std::string& text) {
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        const size_t dot = text.find('.', at);
        // Three dots exactly: one after each of the first three numbers.
        if ((part < 3) != (dot != std::string::npos)) return false;
        const std::string field =
            text.substr(at, dot == std::string::npos ? std::string::npos : dot - at);
        long value = 0;
        if (field.size() > 3 || !IsDecimalIn(field, 0, 255, &value)) return false;
        at = dot + 1;
    }
    return true;
}

std::string CanonicalDotted(const std::string& text) {
    std::string out;
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        const size_t dot = text.find('.', at);
        long value = 0;
        IsDecimalIn(text.substr(at, dot == std::string::npos ? std::string::npos : dot - at), 0,
                    255, &value);
        out += (part == 0 ? "" : ".") + std::to_string(value);
        at = dot + 1;
    }
    return out;
}

std::string ShownText(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\0') {
            out += "\\0";
        } else if (byte < 0x20 || byte == 0x7f) {
            out += std::string("\\x") + kHex[byte >> 4] + kHex[byte & 15];
        } else {
            out += c;
        }
    }
    return out;
}

std::string ExplainRemotePort(unsigned n, const std::string& text) {
    const std::string name = "REMOTEPORT" + std::to_string(n);
    if (text.size() > 31) return name + " is longer than 31 characters and is ignored";
    const size_t semicolon = text.rfind(';');
    if (semicolon == std::string::npos || semicolon + 1 == text.size())
        return name + " = \"" + text + "\" has no \";COM\" part: the port is left out";
    const std::string host = text.substr(0, semicolon);
    const size_t colon = host.find(':');
    const std::string address = host.substr(0, colon);
    if (!IsDottedDecimal(address))
        return name + " = \"" + text + "\": \"" + address +
               "\" is not a dotted decimal IPv4 address (names are not looked up here; "
               "a host name or IPv6 server goes in REMOTEHOST" +
               std::to_string(n) + ": tovladmin port set --server HOST[:PORT])";
    long value = 0;
    if (colon != std::string::npos && !IsDecimalIn(host.substr(colon + 1), 1, 65535, &value))
        return name + " = \"" + text + "\": TCP port \"" + host.substr(colon + 1) +
               "\" is not 1 to 65535 (a larger number wraps to another port)";
    if (!IsDecimalIn(text.substr(semicolon + 1), 1, 255, &value))
        return name + " = \"" + text + "\": COM number \"" + text.substr(semicolon + 1) +
               "\" is not 1 to 255";
    return "";
}

std::string ExplainPortTimeouts(unsigned n, const std::string& text) {
    int fields = 0;
    size_t at = 0;
    while (true) {
        const size_t semi = text.find(';', at);
        if (!IsSignedDecimal(
                text.substr(at, semi == std::string::npos ? std::string::npos : semi - at)))
            break;
        ++fields;
        if (semi == std::string::npos) break;
        at = semi + 1;
    }
    if (fields == 5 && std::count(text.begin(), text.end(), ';') == 4) return "";
    return "PORT" + std::to_string(n) + " = \"" + text +
           "\" is not five whole numbers joined by \";\" (for example -1;0;0;0;0)";
}

std::string ExplainMissingPortTimeouts(unsigned n) {
    return "PORT" + std::to_string(n) + " is missing from HKEY_LOCAL_MACHINE\\" + kSettingsKey +
           ": every open of virtual port " + std::to_string(n) +
           " fails (\"ERROR registry read!\"); tovladmin port set writes it";
}

std::string JsonString(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + '"';
}

}  // namespace tovl
