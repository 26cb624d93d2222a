#include "config/config_check.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "config/product_keys.h"
#include "config/value_text.h"
#include "platform/registry.h"

namespace tovl {

namespace {

const char* const kRoot = "HKEY_LOCAL_MACHINE\\";

bool ReadText(const CRegKey& key, const std::string& name, std::string* text, uint32_t limit) {
    std::string buffer(limit, '\0');
    uint32_t size = limit;
    const uint32_t rc = key.QueryValue(name.c_str(), buffer.data(), &size);
    if (rc == 234) {
        *text = std::string(limit + 1, 'x');  // too long for the reader's buffer
        return true;
    }
    if (rc != 0) return false;
    *text = buffer.c_str();
    return true;
}

std::string ComDevice(const CRegKey* devices, long com, bool* mapped) {
    std::string path;
    *mapped = devices != nullptr && ReadText(*devices, "COM" + std::to_string(com), &path, 512) &&
              !path.empty();
    return *mapped ? path : "/dev/ttyS" + std::to_string(com - 1);
}

void CheckComPort(const CRegKey* devices, long com, const std::string& who,
                  std::vector<std::string>* out) {
    bool mapped = false;
    const std::string device = ComDevice(devices, com, &mapped);
    if (!mapped)
        out->push_back(who + ": COM" + std::to_string(com) + " has no value in " + kRoot +
                       kDevicesKey + " and falls back to " + device);
    const std::string problem = ExplainDevice(device);
    if (!problem.empty()) out->push_back(who + ": COM" + std::to_string(com) + ": " + problem);
}

void CheckClient(const CRegKey* devices, std::vector<std::string>* out) {
    CRegKey connections, settings, vports;
    const bool haveConnections = connections.OpenLocalMachine(kConnectionsKey) == 0;
    const bool haveSettings = settings.OpenLocalMachine(kSettingsKey) == 0;
    const bool haveVports = vports.OpenLocalMachine(kVirtualPortsKey) == 0;
    if (!haveConnections)
        out->push_back(std::string("key ") + kRoot + kConnectionsKey +
                       " is missing: the client serves no port (tovladmin init creates it)");
    if (!haveSettings)
        out->push_back(std::string("key ") + kRoot + kSettingsKey +
                       " is missing: no port can connect (tovladmin init creates it)");
    if (!haveVports)
        out->push_back(std::string("key ") + kRoot + kVirtualPortsKey +
                       " is missing: no virtual port is offered (tovladmin init creates it)");
    if (!haveConnections) return;
    std::string name;
    for (uint32_t i = 0; connections.EnumValueName(i, &name) == 0; ++i) {
        std::string upper;
        for (char c : name) upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
        long n = 0;
        if (upper.rfind("REMOTEPORT", 0) != 0 || !IsDecimalIn(upper.substr(10), 0, 99999, &n) ||
            upper.substr(10) != std::to_string(n)) {
            out->push_back("value " + name +
                           " is not read (names are REMOTEPORT1 to REMOTEPORT254)");
            continue;
        }
        if (n < 1 || n > 254) {
            out->push_back(name + " is never used: virtual ports are numbered 1 to 254");
            continue;
        }
        std::string text;
        ReadText(connections, name, &text, 32);
        const std::string problem = ExplainRemotePort(static_cast<unsigned>(n), text);
        if (!problem.empty()) {
            out->push_back(problem);
            continue;
        }
        std::string timeouts;
        if (!haveSettings || !ReadText(settings, "PORT" + std::to_string(n), &timeouts, 100)) {
            out->push_back(ExplainMissingPortTimeouts(static_cast<unsigned>(n)));
        } else {
            const std::string bad = ExplainPortTimeouts(static_cast<unsigned>(n), timeouts);
            if (!bad.empty()) out->push_back(bad);
        }
        std::string link;
        const std::string vportName = "VPORT" + std::to_string(n);
        if (!haveVports || !ReadText(vports, vportName, &link, 1024) || link.empty()) {
            std::string problem = vportName;
            problem += " is missing from ";
            problem += kRoot;
            problem += kVirtualPortsKey;
            problem += ": virtual port " + std::to_string(n) + " is not offered";
            out->push_back(problem);
        } else {
            const std::string bad = ExplainLinkPath(link);
            if (!bad.empty()) out->push_back(vportName + ": " += bad);
        }
        // A server on this machine: its device must be there too.
        const size_t end = text.find_first_of(":;");
        if (text.substr(0, end) == "127.0.0.1") {
            const long com = strtol(text.substr(text.rfind(';') + 1).c_str(), nullptr, 10);
            CheckComPort(devices, com, name + " (server on this machine)", out);
        }
    }
}

void CheckServer(const CRegKey* devices, std::vector<std::string>* out) {
    CRegKey allowed;
    if (allowed.OpenLocalMachine(kIpAddrKey) != 0)
        out->push_back(std::string("key ") + kRoot + kIpAddrKey +
                       " is missing: the server refuses every client (tovladmin init creates it)");
    std::string name;
    for (uint32_t i = 0; allowed.IsOpen() && allowed.EnumValueName(i, &name) == 0; ++i)
        if (!IsDottedDecimal(name))
            out->push_back("allowed address \"" + name +
                           "\" is not dotted decimal and matches no client");
    if (devices == nullptr)
        out->push_back(
            std::string("key ") + kRoot + kDevicesKey +
            " is missing: every COM<n> falls back to /dev/ttyS<n-1> (tovladmin init creates it)");
    for (uint32_t i = 0; devices != nullptr && devices->EnumValueName(i, &name) == 0; ++i) {
        std::string path;
        ReadText(*devices, name, &path, 512);
        const std::string bad = ExplainDevice(path);
        if (!bad.empty()) out->push_back(name + ": " += bad);
    }
    CRegKey rfc2217;
    if (rfc2217.OpenLocalMachine(kRfc2217Key) != 0) return;
    for (uint32_t i = 0; rfc2217.EnumValueName(i, &name) == 0; ++i) {
        std::string text;
        ReadText(rfc2217, name, &text, 32);
        long port = 0, com = 0;
        if (name.size() < 4 || !IsDecimalIn(name.substr(3), 1, 255, &com))
            out->push_back("RFC 2217 value " + name + std::string(" is not named COM1 to COM255"));
        else if (!IsDecimalIn(text, 1, 65535, &port))
            out->push_back(
                "RFC 2217 " + name +
                std::string(" = \"").append(text).append("\" is not a TCP port 1 to 65535"));
        else
            CheckComPort(devices, com, "RFC 2217 " + name, out);
    }
}

}  // namespace

std::vector<std::string> CheckConfiguration() {
    std::vector<std::string> problems;
    CRegKey devices;
    const bool haveDevices = devices.OpenLocalMachine(kDevicesKey) == 0;
    CheckServer(haveDevices ? &devices : nullptr, &problems);
    CheckClient(haveDevices ? &devices : nullptr, &problems);
    return problems;
}

}  // namespace tovl
