// The control channel's answers, the same on every platform.
#include <cstdio>
#include <string>

#include "config/value_text.h"
#include "platform/log.h"
#include "server/control_channel.h"
#include "server/session_registry.h"

namespace tovl {

namespace {

// "DTR RTS" from the modem control register.
std::string ControlLines(uint32_t control) {
    std::string lines;
    if (control & 0x01) lines += "DTR";
    if (control & 0x02) lines += lines.empty() ? "RTS" : " RTS";
    return lines.empty() ? "-" : lines;
}

std::string StatusText() {
    std::string out = "listeners:\n";
    for (const ListenerInfo& l : Listeners()) {
        char line[128];
        snprintf(line, sizeof line, "  %-10s TCP %-5u %s\n", l.protocol.c_str(),
                 static_cast<unsigned>(l.tcpPort),
                 l.portNumber != 0 ? ("COM" + std::to_string(l.portNumber)).c_str() : "");
        out += line;
    }
    const std::vector<SessionInfo> sessions = Sessions();
    out += "strangers waiting: " + std::to_string(WaitingStrangers()) + "\n";
    out += "sessions: " + std::to_string(sessions.size()) + "\n";
    for (const SessionInfo& s : sessions) {
        char line[512];
        snprintf(line, sizeof line,
                 "  %-6s %-16s %-9s %-21s %-8s %8.1f s  to port %llu  to client %llu  %s  %s\n",
                 s.portNumber != 0 ? ("COM" + std::to_string(s.portNumber)).c_str() : "-",
                 s.device.empty() ? "-" : s.device.c_str(), s.protocol.c_str(), s.peer.c_str(),
                 s.listed ? "listed" : "stranger", s.seconds,
                 static_cast<unsigned long long>(s.toPort),
                 static_cast<unsigned long long>(s.toClient), s.line.empty() ? "-" : s.line.c_str(),
                 s.portNumber != 0 ? ControlLines(s.modemControl).c_str() : "-");
        out += line;
    }
    return out;
}

std::string StatusJson() {
    std::string out = "{\"listeners\":[";
    bool first = true;
    for (const ListenerInfo& l : Listeners()) {
        out += first ? "" : ",";
        first = false;
        out += "{\"protocol\":" + JsonString(l.protocol) +
               ",\"tcpPort\":" + std::to_string(l.tcpPort) +
               ",\"com\":" + std::to_string(l.portNumber) + "}";
    }
    out += "],\"strangersWaiting\":" + std::to_string(WaitingStrangers()) + ",\"sessions\":[";
    first = true;
    for (const SessionInfo& s : Sessions()) {
        out += first ? "" : ",";
        first = false;
        char seconds[32];
        snprintf(seconds, sizeof seconds, "%.3f", s.seconds);
        out += "{\"protocol\":" + JsonString(s.protocol) + ",\"peer\":" + JsonString(s.peer) +
               ",\"listed\":" + (s.listed ? "true" : "false") +
               ",\"com\":" + std::to_string(s.portNumber) + ",\"device\":" + JsonString(s.device) +
               ",\"seconds\":" + seconds + ",\"bytesToPort\":" + std::to_string(s.toPort) +
               ",\"bytesToClient\":" + std::to_string(s.toClient) +
               ",\"line\":" + JsonString(s.line) +
               ",\"dtr\":" + ((s.modemControl & 0x01) ? "true" : "false") +
               ",\"rts\":" + ((s.modemControl & 0x02) ? "true" : "false") + "}";
    }
    return out + "]}\n";
}

}  // namespace

std::string AnswerControlRequest(const std::string& request, const std::string& who) {
    if (request == "status") return StatusText();
    if (request == "status json") return StatusJson();
    unsigned n = 0;
    char extra = 0;
    if (sscanf(request.c_str(), "disconnect COM%u%c", &n, &extra) == 1 && n >= 1 && n <= 255) {
        const std::string reason = "disconnected by the operator (" + who + ")";
        if (!DisconnectPort(static_cast<int>(n), reason))
            return "error: no session holds COM" + std::to_string(n) + "\n";
        LogLine(LogPriority::Notice, "COM%u: session %s", n, reason.c_str());
        return "ok: the session of COM" + std::to_string(n) + " ends\n";
    }
    return "error: unknown request (status, status json, disconnect COM<n>)\n";
}

}  // namespace tovl
