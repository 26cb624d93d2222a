// The session's message loop, its open sequence and its ending. Until the
// reader runs the session is the only user of the connection; afterwards it
// only reads from it.
#include "server/port_session.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "net/message_reader.h"
#include "net/port_link.h"
#include "platform/last_error.h"
#include "platform/log.h"
#include "platform/thread.h"
#include "server/access_check.h"
#include "server/port_device.h"
#include "server/port_reader.h"
#include "server/port_settings.h"

namespace tovl {

namespace {

constexpr std::chrono::seconds kStrangerTime{10};

class CPortSession {
  public:
    CPortSession(CBlockingSocket& connection, const SerialPortOpener& openPort)
        : connection_(connection),
          openPort_(openPort),
          reader_(connection, LinkDirection::ToServer),
          context_(std::make_shared<PortReaderContext>()) {
        context_->connection = &connection;
        context_->stop.Create(CEvent::ResetMode::Manual, false);
        context_->modemChange.Create(CEvent::ResetMode::Auto, false);
        context_->ended.Create(CEvent::ResetMode::Manual, false);
    }

    void Run() {
        SockAddrIn peer;
        try {
            connection_.GetPeerName(&peer);
            peer_ = InetNtoa(peer.addrBe);
        } catch (const CBlockingSocketException&) {
            peer_ = "unknown peer";
        }
        // A peer not on the list can only be refused: its messages get a
        // bounded time in all, so a stranger that sent some other code than
        // PL_OPEN cannot keep its thread by falling silent or trickling.
        if (!IsPeerAllowed(connection_))
            strangerDeadline_ = std::chrono::steady_clock::now() + kStrangerTime;
        try {
            while (HandleMessage()) {
            }
        } catch (const CBlockingSocketException& e) {
            if (endReason_.empty()) endReason_ = DescribeFailure(e);
        }
        End();
        LogLine(LogPriority::Info, "session of %s ended: %s", peer_.c_str(), endReason_.c_str());
    }

  private:
    static std::string DescribeFailure(const CBlockingSocketException& e) {
        const std::string& op = e.Operation();
        if (op.find("timeout") != std::string::npos) return "time-out (" + op + ")";
        if (e.ErrorCode() == 0) return "connection closed mid-message";
        return "connection dropped (" + op + " error " + std::to_string(e.ErrorCode()) + ")";
    }

    // How long the next message's code may take: no limit, except for a
    // stranger, whose time is counted from the session's start.
    int CodeSeconds() const {
        if (!strangerDeadline_) return kNoTimeout;
        const auto left = std::chrono::duration_cast<std::chrono::seconds>(
            *strangerDeadline_ - std::chrono::steady_clock::now());
        if (left.count() <= 0) throw CBlockingSocketException("Receive timeout (not listed)");
        return static_cast<int>(left.count());
    }

    uint32_t ReadField() {
        uint32_t value = 0;
        if (!reader_.ReadU32(&value, kFieldTimeout)) throw CBlockingSocketException("Receive");
        return value;
    }

    // False when the session ends.
    bool HandleMessage() {
        // Messages already received are not acted on once the connection
        // has been closed (by the reader, after a failed send).
        if (!connection_.HoldsSocket()) {
            endReason_ = "connection closed";
            return false;
        }
        PortLinkMessage message;
        switch (reader_.ReadMessage(&message, CodeSeconds(), kFieldTimeout)) {
            case ReadStatus::Message:
                break;
            case ReadStatus::Ended:
                endReason_ = "connection closed by the client";
                return false;
            case ReadStatus::Truncated:
                throw CBlockingSocketException("Receive");
        }
        switch (message.code) {
            case PL_OPEN:
                Open(static_cast<int32_t>(message.value));
                return true;
            case PL_SETTINGS:
                Settings(message.settings);
                return true;
            case PL_DATA:
                Data();
                return true;
            case PL_FLOW_CONTROL:
                FlowControl(message.value);
                return true;
            case PL_CLOSE:
                endReason_ = "client closed";
                return false;
            default:
                return true;  // the code alone
        }
    }

    void Open(int portNumber) {
        // A connection serves one port; once the reader runs only it sends.
        if (port_) return;
        if (!IsPeerAllowed(connection_)) Refuse(portNumber, "not on the allowed list");
        std::shared_ptr<CSerialPort> port = openPort_(portNumber);
        if (!port) Refuse(portNumber, OpenFailureText(GetLastErrorCode()).c_str());
        port_ = port;
        LogLine(LogPriority::Info, "opened COM%d (%s) for %s", portNumber,
                ResolvePortDevice(portNumber).c_str(), peer_.c_str());
        port_->Purge();

        // The handle and the line-state mask leave together. A register that
        // cannot be read counts as 0.
        uint32_t control = 0;
        uint32_t status = 0;
        if (!port_->GetModemControl(&control)) control = 0;
        if (!port_->GetModemStatus(&status)) status = 0;
        uint8_t reply[8];
        EncodeU32(port_->HandleValue(), reply);
        EncodeU32(ModemRegistersToLineMask(control, status), reply + 4);
        connection_.Write(reply, sizeof reply, kFieldTimeout);

        SerialTimeouts received;
        received.ReadIntervalTimeout = ReadField();
        received.ReadTotalTimeoutMultiplier = ReadField();
        received.ReadTotalTimeoutConstant = ReadField();
        received.WriteTotalTimeoutMultiplier = ReadField();
        received.WriteTotalTimeoutConstant = ReadField();
        SerialTimeouts timeouts;
        port_->GetTimeouts(&timeouts);
        timeouts = received;
        port_->SetTimeouts(timeouts);

        context_->port = port_;
        if (!StartThread([context = context_] { PortReaderThreadProc(context); })) {
            throw CBlockingSocketException("Open Port");
        }
        readerStarted_ = true;
    }

    static std::string OpenFailureText(uint32_t error) {
        switch (error) {
            case kErrorFileNotFound:
                return "no such device";
            case kErrorAccessDenied:
                return "busy or not permitted";
            case kErrorNotSupported:
                return "not a terminal";
            case kErrorInvalidParameter:
                return "no device for this port number";
            default:
                return "open error " + std::to_string(error);
        }
    }

    [[noreturn]] void Refuse(int portNumber, const char* cause) {
        LogLine(LogPriority::Notice, "refused %s: COM%d (%s): %s", peer_.c_str(), portNumber,
                ResolvePortDevice(portNumber).c_str(), cause);
        endReason_ = "open refused";
        WriteU32(connection_, PL_OPEN_FAILED, kFieldTimeout);
        throw CBlockingSocketException("Open Port");
    }

    void Settings(const uint8_t* bytes) {
        if (!port_) return;
        const PortLinkSettings settings = DecodeSettings(bytes);
        SerialDcb dcb;
        if (port_->GetState(&dcb)) {
            ApplySettingsToDcb(settings, &dcb);
            port_->SetState(dcb);
        }
        port_->SetHandflow(HandflowFromSettings(settings));
    }

    // The payload goes to the port in bounded pieces, together with the
    // payloads of the PL_DATA messages received right behind it, so a burst
    // is one port write. A port that fails a write gets no more of this
    // run, which is still read to its end.
    void Data() {
        bool portTakes = port_ != nullptr;
        do {
            const uint8_t* piece = nullptr;
            uint32_t size = 0;
            if (!reader_.NextPayloadPiece(&piece, &size, kFieldTimeout, true))
                throw CBlockingSocketException("Receive");
            if (!portTakes || size == 0) continue;
            uint32_t written = 0;
            if (!port_->Write(piece, size, &written)) portTakes = false;
        } while (reader_.PayloadLeft() != 0);
    }

    void FlowControl(uint32_t lineMask) {
        if (!port_) return;
        // Lines are only ever raised: without the register as it stands, a
        // write could lower the line the request does not name, so none is made.
        uint32_t control = 0;
        if (port_->GetModemControl(&control)) {
            const uint32_t wanted = ApplyLineRequest(control, lineMask);
            if (wanted != control) port_->SetModemControl(wanted);
        }
        // The reader reports the status as it now stands.
        context_->modemChange.Set();
    }

    void End() {
        context_->stop.Set();
        if (port_) port_->Close();
        connection_.Close();
        // The reader uses the connection object until it has ended; closing
        // the connection and the port woke whatever it was doing.
        if (readerStarted_) context_->ended.Wait(kInfinite);
    }

    CBlockingSocket& connection_;
    const SerialPortOpener& openPort_;
    CMessageReader reader_;
    std::shared_ptr<PortReaderContext> context_;
    std::shared_ptr<CSerialPort> port_;
    bool readerStarted_ = false;
    std::string peer_;
    std::string endReason_;
    // Set for a peer not on the allowed list.
    std::optional<std::chrono::steady_clock::time_point> strangerDeadline_;
};

}  // namespace

uint32_t RunPortSessionWith(CBlockingSocket& connection, const SerialPortOpener& openPort) {
    CPortSession session(connection, openPort);
    session.Run();
    return 0;
}

uint32_t RunPortSession(CBlockingSocket& connection) {
    static const SerialPortOpener kOpen = [](int n) { return OpenPortDevice(n); };
    return RunPortSessionWith(connection, kOpen);
}

}  // namespace tovl
