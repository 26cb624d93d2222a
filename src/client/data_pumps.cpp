#include "client/data_pumps.h"

#include <cstddef>
#include <cstdint>

#include "client/client_port.h"
#include "client/vexa_driver.h"
#include "platform/log.h"
#include "platform/thread.h"

namespace tovl {

namespace {

constexpr uint32_t kFlowControlPauseMs = 300;
constexpr uint32_t kReadRetryPauseMs = 100;
// A wait that fails (an event the provider did not give) is retried at this
// pace, watching only the stop, instead of in a tight loop.
constexpr uint32_t kFailedWaitPauseMs = 100;
// Reads in a row that give nothing while bytes are reported pending, after
// which the drain goes back to waiting.
constexpr uint32_t kMaxEmptyReads = 8;
constexpr size_t kHeaderSize = 4;
constexpr size_t kDataHeaderSize = 2 * kHeaderSize;

// Sends one whole message (code and body built in a buffer) with one Write,
// so it leaves as one segment instead of one per field.
void SendMessage(CBlockingSocket& socket, const uint8_t* message, uint32_t size) {
    socket.Write(message, static_cast<int>(size), kFieldTimeout);
}

void SendCodeAndU32(CBlockingSocket& socket, uint32_t code, uint32_t value) {
    uint8_t message[kDataHeaderSize];
    EncodeU32(code, message);
    EncodeU32(value, message + kHeaderSize);
    SendMessage(socket, message, sizeof message);
}

// message holds a PL_DATA header and PL_DATA_MAX bytes behind it; the port's
// bytes are read straight behind the header.
void SendData(CBlockingSocket& socket, uint32_t n, uint8_t* message) {
    uint8_t* const payload = message + kDataHeaderSize;
    uint32_t pending = 0;
    bool sentAny = false;
    uint32_t emptyReads = 0;
    do {
        uint32_t count = 0;
        VexaReadData(n, payload, PL_DATA_MAX, &count);
        pending = 0;
        // A failed query counts as nothing pending, so the drain never runs
        // on an old count.
        if (!VexaGetPendingCount(n, &pending)) pending = 0;
        if (count == 0 && (sentAny || pending != 0)) {
            // Bytes reported but not given yet: read again rather than send
            // an empty message; a provider that never gives them cannot hold
            // the pump for ever.
            if (++emptyReads == kMaxEmptyReads) break;
            continue;
        }
        emptyReads = 0;
        EncodeU32(PL_DATA, message);
        EncodeU32(count, message + kHeaderSize);
        SendMessage(socket, message, kDataHeaderSize + count);
        sentAny = true;
    } while (pending != 0);
}

// The reader found the connection ended while the session runs: the writer
// is woken to end the session (a closed socket means it already has).
void EndDropped(ClientPort& port) {
    CBlockingSocket& socket = PortSocket(port.LocalPort);
    if (!socket.HoldsSocket() || port.Dropped.exchange(true)) return;
    if (CEvent* stop = port.StopEvent.load()) stop->Set();
}

}  // namespace

uint32_t DriverToSocketPump(void* param) {
    const auto k = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(param));
    ClientPort& port = ClientPorts[k];
    const uint32_t n = port.LocalPort;
    CBlockingSocket& socket = PortSocket(n);
    CEvent dataEvent = VexaOpenDataEvent(n);
    CEvent settingsEvent = VexaOpenSettingsEvent(n);
    CEvent flowEvent = VexaOpenFlowControlEvent(n);
    CEvent* stopEvent = port.StopEvent.load();
    CEvent* waitList[4] = {&dataEvent, &settingsEvent, &flowEvent, stopEvent};

    uint8_t message[kDataHeaderSize + PL_DATA_MAX];
    PortLinkSettings settings;
    uint32_t mask = 0;
    bool lost = false;
    const char* why = "the application closed the port";
    try {
        for (bool running = true; running;) {
            int which =
                stopEvent != nullptr ? VexaWaitActivity(n, waitList, kInfinite) : kWaitFailed;
            if (which < 0) {
                if (stopEvent == nullptr) break;
                if (stopEvent->Wait(kFailedWaitPauseMs) == 0)
                    which = 3;
                else
                    continue;
            }
            switch (which) {
                case 0:
                    SendData(socket, n, message);
                    break;
                case 1: {
                    VexaGetPortSettings(n, &settings);
                    uint8_t record[kHeaderSize + kPortLinkSettingsSize];
                    EncodeU32(PL_SETTINGS, record);
                    EncodeSettings(settings, record + kHeaderSize);
                    SendMessage(socket, record, sizeof record);
                    break;
                }
                case 2: {
                    VexaGetLineState(n, &mask);
                    SleepMs(kFlowControlPauseMs);
                    SendCodeAndU32(socket, PL_FLOW_CONTROL, mask);
                    break;
                }
                default:
                    lost = port.Dropped.load();
                    if (lost) why = "the server closed the connection or it dropped";
                    if (!lost) WriteU32(socket, PL_CLOSE, kFieldTimeout);
                    running = false;
                    break;
            }
        }
    } catch (const CBlockingSocketException&) {
        // The connection failed: the session ends here as on a stop, only
        // without PL_CLOSE.
        lost = true;
        why = "the connection failed";
    }
    LogLine(lost ? LogPriority::Warning : LogPriority::Info,
            "virtual port %u: session with COM%d of %s:%u ended: %s", n, port.RemoteComPort,
            port.RemoteAddress, static_cast<unsigned>(port.RemoteTcpPort), why);
    socket.Close();
    // The application of a session that lost its connection is told.
    if (lost) VexaHangUp(n);
    port.StopEvent.store(nullptr);
    port.PumpsRunning.fetch_sub(1);
    return 0;
}

uint32_t SocketToDriverPump(void* param) {
    const auto k = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(param));
    ClientPort& port = ClientPorts[k];
    const uint32_t n = port.LocalPort;
    CBlockingSocket& socket = PortSocket(n);
    try {
        while (socket.HoldsSocket()) {
            uint32_t code = 0;
            if (!ReadU32(socket, &code, kNoTimeout)) {
                EndDropped(port);
                SleepMs(kReadRetryPauseMs);
                continue;
            }
            if (code == PL_DATA) {
                uint32_t length = 0;
                uint8_t field[4];
                if (!ReceiveFull(socket, field, 4, kNoTimeout)) break;
                length = DecodeU32(field);
                // Any length is passed on in bounded pieces; the provider
                // keeps what the application cannot take yet (or drops it).
                const bool complete = ReadPayload(socket, length, kNoTimeout, true,
                                                  [n](const uint8_t* data, uint32_t size) {
                                                      uint32_t written = 0;
                                                      VexaWriteData(n, data, size, &written);
                                                  });
                if (!complete) break;
            } else if (code == PL_FLOW_CONTROL) {
                uint8_t field[4];
                if (!ReceiveFull(socket, field, 4, kNoTimeout)) break;
                VexaSetLineState(n, ModemStatusToLineMask(DecodeU32(field)));
            }
            // Any other code is the whole message.
        }
    } catch (const CBlockingSocketException&) {
    }
    EndDropped(port);
    port.PumpsRunning.fetch_sub(1);
    return 0;
}

}  // namespace tovl
