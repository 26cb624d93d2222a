#include "client/data_pumps.h"

#include <cstddef>
#include <cstdint>
#include <memory>

#include "net/message_reader.h"
#include "platform/log.h"
#include "platform/thread.h"

namespace tovl {

namespace {

constexpr uint32_t kFlowControlPauseMs = 300;
// Reads in a row that give nothing while bytes are reported pending, after
// which the drain goes back to waiting.
constexpr uint32_t kMaxEmptyReads = 8;
constexpr size_t kDataMessageBytes = 8 + PL_DATA_MAX;

// Drains the port: every block waiting goes out as one PL_DATA each, the
// blocks gathered into as few sends as the batch allows.
void SendData(CBlockingSocket& socket, CVirtualPort& port, CMessageBatch& batch) {
    uint32_t pending = 0;
    bool sentAny = false;
    uint32_t emptyReads = 0;
    do {
        if (!batch.HasRoom(kDataMessageBytes)) batch.Flush(socket, kFieldTimeout);
        const uint32_t count = port.Read(batch.DataSlot(), PL_DATA_MAX);
        pending = 0;
        // A failed query counts as nothing pending, so the drain never runs
        // on an old count.
        if (!port.Pending(&pending)) pending = 0;
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
void DropReceivedData(CMessageReader& reader, CVirtualPort& port) {
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
                port.SetLines(ModemStatusToLineMask(message.value));
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
    CVirtualPort& port = *session.port;
    CBlockingSocket& socket = session.socket;
    const std::unique_ptr<CPortWatch> watch = port.Watch(session.stop);

    CMessageBatch batch;
    PortLinkSettings settings;
    uint32_t mask = 0;
    bool lost = false;
    const char* why = "the application closed the port";
    try {
        for (bool running = true; running;) {
            switch (watch->Next()) {
                case PortActivity::Data:
                    SendData(socket, port, batch);
                    break;
                case PortActivity::Settings:
                    port.Settings(&settings);
                    SendSettingsMessage(socket, settings, kFieldTimeout);
                    break;
                case PortActivity::Lines:
                    port.Lines(&mask);
                    SleepMs(kFlowControlPauseMs);
                    SendU32Message(socket, PL_FLOW_CONTROL, mask, kFieldTimeout);
                    break;
                case PortActivity::Timeout:
                    break;
                case PortActivity::Stop:
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
    if (lost && port.UseCount() == session.use) port.HangUp();
    session.serving.store(false);
}

void SocketToDriverPump(ClientSessionContext& session) {
    CVirtualPort& port = *session.port;
    CBlockingSocket& socket = session.socket;
    CMessageReader reader(socket, LinkDirection::ToClient);
    try {
        // A closed socket ends the pump, also with messages still buffered:
        // nothing reaches the port after the session's stop.
        while (socket.HoldsSocket()) {
            PortLinkMessage message;
            const ReadStatus status = reader.ReadMessage(&message, kNoTimeout, kNoTimeout);
            // The connection ended: the writer is told below and ends the
            // session; nothing more can arrive.
            if (status == ReadStatus::Ended || status == ReadStatus::Truncated) break;
            if (message.code == PL_DATA) {
                // Any length is passed on in bounded pieces, with the data
                // of the messages received right behind it; the port keeps
                // what the application cannot take yet (or drops it).
                bool complete = true;
                bool flushed = false;
                do {
                    const uint8_t* piece = nullptr;
                    uint32_t size = 0;
                    complete = reader.NextPayloadPiece(&piece, &size, kNoTimeout, true) &&
                               socket.HoldsSocket();
                    if (complete && size != 0) port.Write(piece, size);
                    flushed = complete && port.TakeInputFlush();
                } while (complete && !flushed && reader.PayloadLeft() != 0);
                if (!complete) break;
                if (flushed) DropReceivedData(reader, port);
            } else if (message.code == PL_FLOW_CONTROL) {
                port.SetLines(ModemStatusToLineMask(message.value));
            }
            // Any other code is the whole message.
        }
    } catch (const CBlockingSocketException&) {
    }
    EndDropped(session);
}

}  // namespace tovl
