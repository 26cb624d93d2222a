// What the server is doing now, for an operator: every listener and every
// running session, and the strangers waiting to speak. Sessions enter when
// their core is made and leave when it ends; listeners enter when they
// listen. The control channel (server/control_channel_*) reads it and asks
// a session to end through it. Every function may be called from any
// thread; nothing here waits on a session.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tovl {

class CSessionCore;

struct ListenerInfo {
    std::string protocol;  // "port-link", "rfc2217", "raw"
    uint16_t tcpPort = 0;
    int portNumber = 0;  // the COM it serves; 0 for the port-link listener
};

struct SessionInfo {
    std::string protocol;
    std::string peer;  // "a.b.c.d:port"
    bool listed = false;
    int portNumber = 0;  // 0 while no port is open
    std::string device;
    double seconds = 0;  // since the connection was accepted
    uint64_t toPort = 0;
    uint64_t toClient = 0;
    std::string line;  // "115200,8N1,rtscts" as the port stands, or empty
    uint32_t modemStatus = 0;
    uint32_t modemControl = 0;
};

void RegisterListener(const ListenerInfo& listener);
std::vector<ListenerInfo> Listeners();

void RegisterSession(CSessionCore* core);
void UnregisterSession(CSessionCore* core);
std::vector<SessionInfo> Sessions();

// Ends the session that holds COM<portNumber> as a dropped connection
// would, with reason in its end line. False when no session holds it.
bool DisconnectPort(int portNumber, const std::string& reason);

// Strangers' connections that wait in the accept loops' rooms.
void AddWaitingStrangers(int delta);
size_t WaitingStrangers();

}  // namespace tovl
