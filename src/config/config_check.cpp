#include "config/config_check.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <iterator>
#include <string_view>
#include <utility>

#include "config/address_text.h"
#include "config/com_value.h"
#include "config/product_keys.h"
#include "config/raw_value.h"
#include "config/remote_host.h"
#include "config/value_text.h"
#include "platform/ip_address.h"
#include "platform/last_error.h"
#include "platform/registry.h"

namespace tovl {

namespace {

const char* const kRoot = "HKEY_LOCAL_MACHINE\\";
// The buffers the server reads its values with; a value whose data and the
// registry's terminator do not fit is not read at all.
constexpr uint32_t kAllowedDataSize = 100;  // IpAddr values
constexpr uint32_t kRfc2217DataSize = 31;
constexpr uint32_t kRawDataSize = 63;
constexpr uint32_t kLimitDataSize = 31;  // Server values

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

// REMOTEHOST<n> of a REMOTEPORT<n> that reads well: its problem, if any, in
// out (or, when the name service only failed to answer, in warnings).
// *server: the server it names; false when it does not stand or read.
bool CheckRemoteHost(const CRegKey& connections, unsigned n, RemoteHost* server,
                     std::vector<std::string>* out, std::vector<std::string>* warnings) {
    const std::string name = RemoteHostValueName(n);
    std::string text;
    if (!ReadText(connections, name, &text, kRemoteHostDataSize)) return false;
    std::string why;
    if (text.size() >= kRemoteHostDataSize) {
        why = "longer than " + std::to_string(kRemoteHostDataSize - 1) + " characters";
    } else {
        ParseRemoteHost(text, server, &why);
    }
    if (!why.empty()) {
        out->push_back(name + " = \"" + ShownText(text.substr(0, 80)) + "\": " + why +
                       ": virtual port " + std::to_string(n) + " is left out");
        return false;
    }
    bool lasting = false;
    const std::string problem = ExplainServerName(n, *server, &lasting);
    if (!problem.empty()) (lasting ? out : warnings)->push_back(problem);
    return true;
}

void CheckClient(const CRegKey* devices, std::vector<std::string>* out,
                 std::vector<std::string>* warnings) {
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
        if (upper.rfind("REMOTEHOST", 0) == 0 && IsDecimalIn(upper.substr(10), 1, 254, &n) &&
            upper.substr(10) == std::to_string(n)) {
            std::string unused;
            if (!ReadText(connections, "REMOTEPORT" + std::to_string(n), &unused, 32))
                out->push_back(name + " is not used: REMOTEPORT" + std::to_string(n) +
                               ", which gives the COM number, is missing");
            continue;
        }
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
        RemoteHost server;
        const bool named =
            CheckRemoteHost(connections, static_cast<unsigned>(n), &server, out, warnings);
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
        const std::string host = named ? server.host : text.substr(0, end);
        if (host == "127.0.0.1" || host == "localhost" || host == "::1") {
            const long com = strtol(text.substr(text.rfind(';') + 1).c_str(), nullptr, 10);
            CheckComPort(devices, com, name + " (server on this machine)", out);
        }
    }
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// The parts of a message joined.
std::string Join(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (const std::string_view part : parts) text.append(part);
    return text;
}

// The value's data as a service with a buffer of `size` bytes reads it: the
// registry's terminator included, kErrorMoreData when it does not fit.
uint32_t ReadAsService(const CRegKey& key, const std::string& name, uint32_t size,
                       std::string* data) {
    std::string buffer(size + 1, '\0');
    uint32_t got = size;
    const uint32_t rc = key.QueryValue(name.c_str(), buffer.data(), &got);
    if (rc == kErrorSuccess) *data = buffer.substr(0, std::min(got, size));
    return rc;
}

std::string Quoted(const std::string& text) {
    return Join({"\"", ShownText(text), "\""});
}

// data without the NULs that end it (the registry's terminator), to show.
std::string WithoutTerminator(std::string data) {
    while (!data.empty() && data.back() == '\0') data.pop_back();
    return data;
}

// What a reader that strips nothing makes of a trailing newline or space.
std::string NotStripped(const std::string& trailing) {
    return trailing.empty() ? "" : Join({" (the ", trailing, " is not stripped here)"});
}

void CheckAllowedList(CCheckFindings* out) {
    CRegKey allowed;
    if (allowed.OpenLocalMachine(kIpAddrKey) != kErrorSuccess) {
        out->problems.push_back(
            std::string("key ") + kRoot + kIpAddrKey +
            " is missing: the server refuses every client (tovladmin init creates it)");
        return;
    }
    std::string name;
    uint32_t i = 0;
    for (; allowed.EnumValueName(i, &name) == kErrorSuccess; ++i) {
        std::string canonical;
        const ListedAddressKind kind = ParseListedAddress(name, &canonical);
        if (kind == ListedAddressKind::NotAnAddress) {
            out->problems.push_back("allowed address \"" + ShownText(name) +
                                    "\" is not dotted decimal or IPv6 and matches no client");
            continue;
        }
        // The server looks a peer up by its address as written without
        // leading zeros (IPv4) or in canonical text (IPv6), by name: another
        // spelling never matches.
        if (kind == ListedAddressKind::IPv4 && canonical != name) {
            out->problems.push_back(
                Join({"allowed address \"", name,
                      "\" has leading zeros: the server writes a client's address as ", canonical,
                      " and so refuses ", canonical, " (name the value ", canonical, ")"}));
            continue;
        }
        if (kind == ListedAddressKind::IPv6 && !EqualsIgnoringCase(canonical, name)) {
            out->problems.push_back(
                Join({"allowed address \"", name, "\" is not in canonical form: ",
                      "the server writes a client's address as ", canonical, " and so refuses ",
                      canonical, " (tovladmin add ", name, " writes it as ", canonical, ")"}));
            continue;
        }
        std::string data;
        if (ReadAsService(allowed, name, kAllowedDataSize, &data) == kErrorMoreData)
            out->problems.push_back(
                Join({"allowed address ", name, " holds more than ",
                      std::to_string(kAllowedDataSize - 1),
                      " bytes of data: the server cannot read it and refuses ", name}));
    }
    if (i == 0)
        out->warnings.push_back(std::string("key ") + kRoot + kIpAddrKey +
                                " lists no address: the server refuses every client until one "
                                "is added (tovladmin add ADDRESS)");
}

// The TCP ports the server listens on, in the order it opens them: the
// first to ask for a port gets it, a later one does not listen at all.
class CTcpPortClaims {
  public:
    CTcpPortClaims() { owners_.emplace_back(kServerTcpPort, "the server's own protocol"); }

    void Claim(uint16_t port, const std::string& who, std::vector<std::string>* problems) {
        for (const auto& [taken, owner] : owners_) {
            if (taken != port) continue;
            problems->push_back(
                Join({who, " asks for TCP port ", std::to_string(port), ", which ", owner,
                      " already listens on: the server opens no listener for ", who}));
            return;
        }
        owners_.emplace_back(port, who);
    }

  private:
    std::vector<std::pair<uint16_t, std::string>> owners_;
};

// What the bytes after the end of a value's text are, for a message.
std::string TrailingWords(const std::string& data) {
    const std::string text = TrimTrailingSpace(data);
    std::string rest = data.substr(text.size());
    rest.erase(std::remove(rest.begin(), rest.end(), '\0'), rest.end());
    if (rest.empty()) return "";
    return std::all_of(rest.begin(), rest.end(), [](char c) { return c == '\n'; })
               ? "trailing newline"
               : "trailing white space";
}

void CheckRfc2217(const CRegKey* devices, CTcpPortClaims* claims, CCheckFindings* out) {
    CRegKey rfc2217;
    if (rfc2217.OpenLocalMachine(kRfc2217Key) != kErrorSuccess) return;
    std::string name;
    for (uint32_t i = 0; rfc2217.EnumValueName(i, &name) == kErrorSuccess; ++i) {
        uint32_t com = 0;
        uint16_t port = 0;
        std::string data;
        if (!ParseComValueName(name, &com)) {
            out->problems.push_back("RFC 2217 value " + ShownText(name) +
                                    " is not named COM1 to COM255: the server ignores it");
            continue;
        }
        const std::string who = "RFC 2217 " + name;
        const uint32_t rc = ReadAsService(rfc2217, name, kRfc2217DataSize, &data);
        if (rc == kErrorMoreData) {
            out->problems.push_back(
                Join({who, " holds more than ", std::to_string(kRfc2217DataSize - 1),
                      " bytes: the server ignores it"}));
            continue;
        }
        if (rc != kErrorSuccess || !ParseRfc2217Port(data, &port)) {
            out->problems.push_back(Join(
                {who, " = ", Quoted(TrimTrailingSpace(data)), " is not a TCP port 1 to 65535"}));
            continue;
        }
        const std::string trailing = TrailingWords(data);
        if (!trailing.empty())
            out->warnings.push_back(
                Join({who, " = ", Quoted(WithoutTerminator(data)), ": the server ignores the ",
                      trailing, " and listens on TCP port ", std::to_string(port)}));
        claims->Claim(port, who, &out->problems);
        CheckComPort(devices, com, who, &out->problems);
    }
}

void CheckRaw(const CRegKey* devices, CTcpPortClaims* claims, CCheckFindings* out) {
    CRegKey raw;
    if (raw.OpenLocalMachine(kRawKey) != kErrorSuccess) return;
    std::string name;
    for (uint32_t i = 0; raw.EnumValueName(i, &name) == kErrorSuccess; ++i) {
        uint32_t com = 0;
        if (!ParseComValueName(name, &com)) {
            out->problems.push_back("raw value " + ShownText(name) +
                                    " is not named COM1 to COM255: the server ignores it");
            continue;
        }
        const std::string who = "raw " + name;
        std::string data;
        const uint32_t rc = ReadAsService(raw, name, kRawDataSize, &data);
        if (rc == kErrorMoreData) {
            out->problems.push_back(
                Join({who, " holds more than ", std::to_string(kRawDataSize - 1),
                      " bytes: the server ignores it"}));
            continue;
        }
        // The server reads the text up to its first NUL and strips nothing.
        const std::string text = data.substr(0, data.find('\0'));
        uint16_t port = 0;
        RawLine line;
        std::string why = "the value cannot be read";
        if (rc != kErrorSuccess || !ParseRawValue(text, &port, &line, &why)) {
            out->problems.push_back(Join({who, " = ", Quoted(text), " is ignored by the server: ",
                                          why, NotStripped(TrailingWords(text))}));
            continue;
        }
        claims->Claim(port, who, &out->problems);
        CheckComPort(devices, com, who, &out->problems);
    }
}

// The Server key's limits, read as the server reads them: decimal digits up
// to the first NUL, at most 9, at least 1; anything else keeps the default.
void CheckSessionLimits(CCheckFindings* out) {
    CRegKey server;
    if (server.OpenLocalMachine(kServerKey) != kErrorSuccess) return;
    static const char* const kLimits[] = {"MaxSessions", "MaxSessionsPerAddress", "MaxStrangers"};
    std::string name;
    for (uint32_t i = 0; server.EnumValueName(i, &name) == kErrorSuccess; ++i) {
        const std::string who = "Server value " + ShownText(name);
        if (std::none_of(std::begin(kLimits), std::end(kLimits),
                         [&name](const char* limit) { return EqualsIgnoringCase(name, limit); })) {
            out->problems.push_back(who +
                                    " is not read (names are MaxSessions, "
                                    "MaxSessionsPerAddress and MaxStrangers)");
            continue;
        }
        std::string data;
        const uint32_t rc = ReadAsService(server, name, kLimitDataSize, &data);
        if (rc == kErrorMoreData) {
            out->problems.push_back(
                Join({who, " holds more than ", std::to_string(kLimitDataSize - 1),
                      " bytes: the server ignores it and keeps its default"}));
            continue;
        }
        const std::string text = data.substr(0, data.find('\0'));
        if (rc != kErrorSuccess || text.size() > 9 ||
            !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            out->problems.push_back(
                Join({who, " = ", Quoted(text),
                      " is not a decimal number: the server ignores it and keeps its default",
                      NotStripped(TrailingWords(text))}));
        } else if (text.find_first_not_of('0') == std::string::npos) {
            out->problems.push_back(
                Join({who, " = ", Quoted(text),
                      " is not at least 1: the server ignores it and keeps its default"}));
        }
    }
}

void CheckServer(const CRegKey* devices, CCheckFindings* out) {
    CheckAllowedList(out);
    std::string name;
    if (devices == nullptr)
        out->problems.push_back(
            std::string("key ") + kRoot + kDevicesKey +
            " is missing: every COM<n> falls back to /dev/ttyS<n-1> (tovladmin init creates it)");
    for (uint32_t i = 0; devices != nullptr && devices->EnumValueName(i, &name) == 0; ++i) {
        std::string path;
        ReadText(*devices, name, &path, 512);
        const std::string bad = ExplainDevice(path);
        if (!bad.empty()) out->problems.push_back(name + ": " += bad);
    }
    // The order the server opens its listeners in: RFC 2217, then raw.
    CTcpPortClaims claims;
    CheckRfc2217(devices, &claims, out);
    CheckRaw(devices, &claims, out);
    CheckSessionLimits(out);
}

}  // namespace

std::string ExplainServerName(unsigned n, const RemoteHost& server, bool* lasting) {
    std::vector<SockAddr> addresses;
    std::string why;
    const ResolveOutcome outcome = ResolveHost(server.host, server.tcpPort, &addresses, &why);
    if (lasting != nullptr) *lasting = outcome == ResolveOutcome::NoSuchName;
    if (outcome == ResolveOutcome::Resolved) return "";
    const std::string head = RemoteHostValueName(n) + " = \"" + FormatRemoteHost(server) + "\": ";
    const std::string port = "virtual port " + std::to_string(n);
    if (outcome == ResolveOutcome::NoSuchName)
        return head + "the name " + server.host + " does not resolve (" + why +
               "): every open of " + port + " fails until it does";
    return head + "the name " + server.host + " could not be resolved now (" + why + "): " + port +
           " cannot connect while that lasts";
}

CCheckFindings CheckConfiguration() {
    CCheckFindings findings;
    CRegKey devices;
    const bool haveDevices = devices.OpenLocalMachine(kDevicesKey) == 0;
    CheckServer(haveDevices ? &devices : nullptr, &findings);
    CheckClient(haveDevices ? &devices : nullptr, &findings.problems, &findings.warnings);
    return findings;
}

}  // namespace tovl
