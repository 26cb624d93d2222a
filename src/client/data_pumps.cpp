#include "client/data_pumps.h"

#include <cstddef>
#include <cstdint>

#include "client/vexa_driver.h"
#include "net/message_reader.h"
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
constexpr size_t kDataMessageBytes = 8 + PL_DATA_MAX;

// Drains the port: every block waiting goes out as one PL_DATA each, the
// blocks gathered into as few sends as the batch allows.
void SendData(CBlockingSocket& socket, uint32_t n, CMessageBatch& batch) {
    uint32_t pending = 0;
    bool sentAny = false;
    uint32_t emptyReads = 0;
    do {
        if (!batch.HasRoom(kDataMessageBytes)) batch.Flush(socket, kFieldTimeout);
        uint32_t count = 0;
        VexaReadData(n, batch.DataSlot(), PL_DATA_MAX, &count);
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
        batch.CommitData(count);
        sentAny = true;
    } while (pending != 0);
    batch.Flush(socket, kFieldTimeout);
}

// The reader found the connection ended while the session runs: the writer
// is woken to end the session (a closed socket means it already has).
void EndDropped(ClientSessionContext& session) {
    if (!session.socket.HoldsSocket() || session.dropped.exchange(true)) return;
    session.stop.Set();
}

// The application flushed its input: the data already received for it is
// dropped; everything else received is acted on as usual.
void DropReceivedData(CMessageReader& reader, uint32_t n) {
    try {
        for (;;) {
            PortLinkMessage message;
            // Only what has arrived: a code not there yet ends the drop.
            if (reader.ReadMessage(&message, 0, kNoTimeout) != ReadStatus::Message) return;
            if (message.code == PL_DATA) {
                const uint8_t* piece = nullptr;
                uint32_t size = 0;
                while (reader.PayloadLeft() != 0)
                    if (!reader.NextPayloadPiece(&piece, &size, kNoTimeout, false)) return;
            } else if (message.code == PL_FLOW_CONTROL) {
                VexaSetLineState(n, ModemStatusToLineMask(message.value));
            }
        }
    } catch (const CBlockingSocketException&) {
        // Nothing more has arrived (or the connection failed, which the next
        // read meets).
    }
}

}  // namespace

void DriverToSocketPump(ClientSessionContext& session) {
    const uint32_t n = session.LocalPort;
    CBlockingSocket& socket = session.socket;
    CEvent dataEvent = VexaOpenDataEvent(n);
    CEvent settingsEvent = VexaOpenSettingsEvent(n);
    CEvent flowEvent = VexaOpenFlowControlEvent(n);
    CEvent* stopEvent = &session.stop;
    CEvent* waitList[4] = {&dataEvent, &settingsEvent, &flowEvent, stopEvent};

    CMessageBatch batch;
    PortLinkSettings settings;
    uint32_t mask = 0;
    bool lost = false;
    const char* why = "the application closed the port";
    try {
        for (bool running = true; running;) {
            int which = VexaWaitActivity(n, waitList, kInfinite);
            if (which < 0) {
                if (stopEvent->Wait(kFailedWaitPauseMs) == 0)
                    which = 3;
                else
                    continue;
            }
            switch (which) {
                case 0:
                    SendData(socket, n, batch);
                    break;
                case 1: {
                    VexaGetPortSettings(n, &settings);
                    SendSettingsMessage(socket, settings, kFieldTimeout);
                    break;
                }
                case 2: {
                    VexaGetLineState(n, &mask);
                    SleepMs(kFlowControlPauseMs);
                    SendU32Message(socket, PL_FLOW_CONTROL, mask, kFieldTimeout);
                    break;
                }
                default:
                    lost = session.dropped.load();
                    if (lost) why = "the server closed the connection or it dropped";
                    if (!lost) SendCodeMessage(socket, PL_CLOSE, kFieldTimeout);
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
            "virtual port %u: session with COM%d of %s ended: %s", n, session.RemoteComPort,
            session.ServerText.c_str(), why);
    socket.Close();
    // The application of a session that lost its connection is told; a
    // use that has ended and been followed by another has no one to tell.
    if (lost && VexaUseCount(n) == session.use) VexaHangUp(n);
    session.serving.store(false);
}

void SocketToDriverPump(ClientSessionContext& session) {
    const uint32_t n = session.LocalPort;
    CBlockingSocket& socket = session.socket;
    CMessageReader reader(socket, LinkDirection::ToClient);
    try {
        // A closed socket ends the pump, also with messages still buffered:
        // nothing reaches the port after the session's stop.
        while (socket.HoldsSocket()) {
            PortLinkMessage message;
            const ReadStatus status = reader.ReadMessage(&message, kNoTimeout, kNoTimeout);
            if (status == ReadStatus::Ended) {
                EndDropped(session);
                SleepMs(kReadRetryPauseMs);
                continue;
            }
            if (status == ReadStatus::Truncated) break;
            if (message.code == PL_DATA) {
                // Any length is passed on in bounded pieces, with the data
                // of the messages received right behind it; the provider
                // keeps what the application cannot take yet (or drops it).
                bool complete = true;
                bool flushed = false;
                do {
                    const uint8_t* piece = nullptr;
                    uint32_t size = 0;
                    complete = reader.NextPayloadPiece(&piece, &size, kNoTimeout, true) &&
                               socket.HoldsSocket();
                    uint32_t written = 0;
                    if (complete && size != 0) VexaWriteData(n, piece, size, &written);
                    flushed = complete && VexaTakeInputFlush(n);
                } while (complete && !flushed && reader.PayloadLeft() != 0);
                if (!complete) break;
                if (flushed) DropReceivedData(reader, n);
            } else if (message.code == PL_FLOW_CONTROL) {
                VexaSetLineState(n, ModemStatusToLineMask(message.value));
            }
            // Any other code is the whole message.
        }
    } catch (const CBlockingSocketException&) {
    }
    EndDropped(session);
}

}  // namespace tovl
