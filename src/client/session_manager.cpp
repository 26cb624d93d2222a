#include "client/session_manager.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "client/client_config.h"
#include "client/client_port.h"
#include "client/data_pumps.h"
#include "client/vexa_driver.h"
#include "platform/log.h"
#include "platform/socket_api.h"
#include "platform/thread.h"

namespace tovl {

namespace {

constexpr uint32_t kOpenPauseMs = 1000;
// A failed wait is repeated after this pause, never in a tight loop.
constexpr uint32_t kFailedWaitPauseMs = 100;
// How often the manager looks whether an ending session's pumps are gone.
constexpr uint32_t kPumpEndPollMs = 10;

std::atomic<bool> g_loopEnd{false};

// The words for the socket errors a connect meets; others by number.
std::string SocketErrorText(int error) {
    switch (error) {
        case kWsaEconnrefused:
            return "connection refused";
        case kWsaEtimedout:
            return "timed out";
        case kWsaEnetunreach:
            return "network unreachable";
        case kWsaEhostunreach:
            return "host unreachable";
        case kWsaEconnreset:
            return "connection reset";
        case kWsaEaddrnotavail:
            return "address not available";
        default:
            return "socket error " + std::to_string(error);
    }
}

// With more records than one wait can take, watcher threads wait on groups
// of the opened events and mark the records here; the manager then serves
// the lowest marked record first.
std::atomic<bool> g_marked[kClientPortCapacity];
CEvent g_markedEvent;
std::atomic<uint32_t> g_watchers{0};

struct WatchGroup {
    uint32_t first;
    uint32_t count;
};

void WatchOpenedEvents(const WatchGroup& group) {
    std::vector<CEvent*> events;
    for (uint32_t i = 0; i < group.count; ++i)
        events.push_back(&ClientPorts[group.first + i].OpenedEvent);
    while (!g_loopEnd.load()) {
        int which = WaitForAnyEvent(events.data(), events.size(), kInfinite);
        if (which < 0) {
            SleepMs(kFailedWaitPauseMs);
            continue;
        }
        g_marked[group.first + static_cast<uint32_t>(which)].store(true);
        g_markedEvent.Set();
    }
    g_watchers.fetch_sub(1);
}

void StartSession(uint32_t k) {
    ClientPort& port = ClientPorts[k];
    port.StopEventObject.Create(CEvent::ResetMode::Auto, false);
    port.StopEvent.store(&port.StopEventObject);
    port.Dropped.store(false);
    port.PumpsRunning.store(2);
    // The pumps take the record's index as their pointer parameter.
    void* param =
        reinterpret_cast<void*>(static_cast<uintptr_t>(k));  // NOLINT(performance-no-int-to-ptr)
    if (!StartThread([param] { SocketToDriverPump(param); })) {
        port.PumpsRunning.fetch_sub(1);
    }
    if (!StartThread([param] { DriverToSocketPump(param); })) {
        // Nobody would end the session: end it here.
        PortSocket(port.LocalPort).Close();
        port.StopEvent.store(nullptr);
        port.PumpsRunning.fetch_sub(1);
    }
}

// One wake-up of record k's opened event, after the pause that lets the
// application settle.
void ServeOpening(uint32_t k) {
    ClientPort& port = ClientPorts[k];
    uint32_t isOpen = 0;
    // A failed query counts as closed.
    if (!VexaGetOpenState(port.LocalPort, &isOpen)) isOpen = 0;
    if (isOpen == 0) {
        if (CEvent* stop = port.StopEvent.load()) {
            stop->Set();
        } else if (port.PumpsRunning.load() == 0) {
            // A use that ended before its session was up: what it wrote is
            // not kept for the next one.
            VexaHangUp(port.LocalPort);
        }
        return;
    }
    const uint32_t use = VexaUseCount(port.LocalPort);
    if (CEvent* stop = port.StopEvent.load()) {
        // Still open with its session running (for example reopened within
        // the pause): that session serves the application, unless the port
        // was closed and opened again since it started. A new use gets a
        // session of its own, with its application's settings.
        if (use == port.Use) return;
        stop->Set();
    }
    // A session that is still ending must be gone before the slot's socket is
    // used again, or its reader could read the new connection.
    while (port.PumpsRunning.load() != 0) SleepMs(kPumpEndPollMs);
    if (ConnectPort(port.RemoteComPort, port.RemoteAddress, port.RemoteTcpPort, port.LocalPort) !=
        0) {
        // The application learns that its port does not work.
        VexaHangUp(port.LocalPort);
        return;
    }
    port.Use = use;
    StartSession(k);
}

uint32_t RunDirectLoop() {
    CEvent* events[kMaxWaitEvents];
    for (;;) {
        const uint32_t count = ClientPortCount;
        if (count == 0) return 0;
        for (uint32_t i = 0; i < count; ++i) events[i] = &ClientPorts[i].OpenedEvent;
        int which = WaitForAnyEvent(events, count, kInfinite);
        if (g_loopEnd.load()) return 0;
        if (which < 0) {
            SleepMs(kFailedWaitPauseMs);
            continue;
        }
        SleepMs(kOpenPauseMs);
        ServeOpening(static_cast<uint32_t>(which));
    }
}

uint32_t RunGroupedLoop() {
    g_markedEvent.Create(CEvent::ResetMode::Auto, false);
    for (auto& mark : g_marked) mark.store(false);
    for (uint32_t first = 0; first < ClientPortCount; first += kMaxWaitEvents) {
        const WatchGroup group{first, std::min<uint32_t>(kMaxWaitEvents, ClientPortCount - first)};
        g_watchers.fetch_add(1);
        if (!StartThread([group] { WatchOpenedEvents(group); })) g_watchers.fetch_sub(1);
    }
    auto lowestMarked = [] {
        uint32_t k = 0;
        while (k < ClientPortCount && !g_marked[k].load()) ++k;
        return k;
    };
    for (;;) {
        if (g_loopEnd.load()) return 0;
        if (lowestMarked() == ClientPortCount) {
            if (g_markedEvent.Wait(kInfinite) != 0) SleepMs(kFailedWaitPauseMs);
            continue;
        }
        // The record is chosen after the pause: openings marked by different
        // watchers during it are served lowest record first.
        SleepMs(kOpenPauseMs);
        const uint32_t k = lowestMarked();
        g_marked[k].store(false);
        ServeOpening(k);
    }
}

}  // namespace

void RequestPortLoopEnd() {
    g_loopEnd.store(true);
    g_markedEvent.Set();
}

uint32_t PortLoopWatchers() {
    return g_watchers.load();
}

uint32_t RunPortLoop() {
    g_loopEnd.store(false);
    if (ClientPortCount == 0) return 0;
    if (ClientPortCount <= kMaxWaitEvents) return RunDirectLoop();
    return RunGroupedLoop();
}

uint32_t ConnectPort(int32_t remoteComPort, const char* remoteAddress, uint16_t remoteTcpPort,
                     uint32_t n) {
    if (!SockStartup()) return 1;
    SockAddrIn address;
    address.family = kAfInet;
    address.portBe = HostToNet16(remoteTcpPort);
    address.addrBe = InetAddr(remoteAddress);
    CBlockingSocket& socket = PortSocket(n);
    const unsigned tcpPort = remoteTcpPort;
    auto fail = [&](const std::string& why) {
        LogLine(LogPriority::Error, "virtual port %u: no session with COM%d of %s:%u: %s", n,
                remoteComPort, remoteAddress, tcpPort, why.c_str());
        socket.Close();
        return 1u;
    };
    try {
        socket.Create();
        try {
            socket.Connect(address);
        } catch (const CBlockingSocketException& e) {
            const bool named = address.addrBe == kInaddrNone;
            return fail("connect: " + SocketErrorText(e.ErrorCode()) +
                        (named ? " (the address is not dotted decimal)" : ""));
        }
        SendU32Message(socket, PL_OPEN, static_cast<uint32_t>(remoteComPort), kFieldTimeout);
        uint32_t result = 0;
        if (!ReadU32(socket, &result, kOpenReplyTimeout))
            return fail("the server closed the connection or gave no reply");
        if (result == PL_OPEN_FAILED) {
            printf("ERROR open remote real ports!\n");
            fflush(stdout);
            return fail(
                "refused by the server (address not allowed, or the port missing or busy: the "
                "server's log says which)");
        }
        uint32_t mask = 0;
        if (!ReadU32(socket, &mask, kFieldTimeout))
            return fail("the connection ended during the open");
        VexaSetLineState(n, mask);
        int32_t timeouts[5];
        if (!ReadPortTimeouts(n, timeouts)) return fail("its time-outs cannot be read");
        for (int32_t value : timeouts)
            WriteU32(socket, static_cast<uint32_t>(value), kFieldTimeout);
        // Without the provider's settings the record goes out as it starts
        // (all zero).
        PortLinkSettings settings;
        VexaGetPortSettings(n, &settings);
        SendSettingsMessage(socket, settings, kFieldTimeout);
        VexaSetStatus(n, 0);
        LogLine(LogPriority::Info, "virtual port %u: session with COM%d of %s:%u set up", n,
                remoteComPort, remoteAddress, tcpPort);
        return 0;
    } catch (const CBlockingSocketException& e) {
        return fail(e.Operation() + ": " + SocketErrorText(e.ErrorCode()));
    }
}

}  // namespace tovl
