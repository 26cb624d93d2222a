// The port-link protocol on the session core: the message loop, the open
// sequence and the reader's messages. Until the reader runs the session
// thread is the only sender; afterwards it only reads from the connection.
#include "server/port_session.h"

#include <algorithm>
#include <string>

#include "net/message_reader.h"
#include "net/port_link.h"
#include "platform/log.h"
#include "server/port_device.h"
#include "server/port_settings.h"
#include "server/session_core.h"

namespace tovl {

namespace {

class CPortLinkProtocol final : public CSessionProtocol {
  public:
    explicit CPortLinkProtocol(CBlockingSocket& connection)
        : reader_(connection, LinkDirection::ToServer),
          wire_(new uint8_t[DataMessagesSize(kReaderCapacity)]) {}

    const char* Name() const override { return "port-link"; }

    void Serve(CSessionCore& core) override {
        core_ = &core;
        while (HandleMessage()) {
        }
    }

    // The port's bytes, PL_DATA_MAX at most in each PL_DATA, leave in one send.
    void PortData(CSessionCore& core, const uint8_t* data, uint32_t count) override {
        if (count == 0) return;
        const size_t size = EncodeDataMessages(data, count, wire_.get());
        core.Send(wire_.get(), size, kServerSendTimeout);
    }

    // The modem status register as the port reports it, not a line mask.
    void ModemChange(CSessionCore& core) override {
        uint32_t status = 0;
        if (!core.Port()->GetModemStatus(&status)) status = 0;
        core.NoteModem(status);
        uint8_t message[8];
        EncodeU32(PL_FLOW_CONTROL, message);
        EncodeU32(status, message + 4);
        core.Send(message, sizeof message, kServerSendTimeout);
    }

  private:
    uint32_t ReadField() {
        uint32_t value = 0;
        if (!reader_.ReadU32(&value, FieldSeconds())) throw CBlockingSocketException("Receive");
        return value;
    }

    // A stranger's time runs from its connect: no wait of its may outlast it.
    int CodeSeconds() const { return core_->Listed() ? kNoTimeout : core_->StrangerSecondsLeft(); }
    int FieldSeconds() const {
        return core_->Listed() ? kFieldTimeout
                               : std::min(kFieldTimeout, core_->StrangerSecondsLeft());
    }

    // False when the session ends.
    bool HandleMessage() {
        if (core_->Stopped()) return false;
        PortLinkMessage message;
        switch (reader_.ReadMessage(&message, CodeSeconds(), FieldSeconds())) {
            case ReadStatus::Message:
                break;
            case ReadStatus::Ended:
                core_->ConnectionEnded(reader_.LastReceive());
                return false;
            case ReadStatus::Truncated:
                throw CBlockingSocketException("Receive");
        }
        // A stranger may only ask to open, and is refused: anything else it
        // sends ends its connection before its payload is read.
        if (!core_->Listed() && message.code != PL_OPEN) {
            core_->SetEndReason("a stranger sent code " + std::to_string(message.code));
            return false;
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
                core_->SetEndReason("client closed");
                return false;
            default:
                return true;  // the code alone
        }
    }

    void Open(int portNumber) {
        // A connection serves one port; once the reader runs only it sends.
        if (opened_) return;
        if (!core_->PeerAllowedNow()) Refuse(portNumber, "not on the allowed list");
        std::string cause;
        std::shared_ptr<CSerialPort> port = core_->OpenPort(portNumber, &cause);
        if (!port) Refuse(portNumber, cause.c_str());
        opened_ = true;
        LogLine(LogPriority::Info, "opened COM%d (%s) for %s", portNumber,
                ResolvePortDevice(portNumber).c_str(), core_->Peer().c_str());
        port->Purge();

        // The handle and the line-state mask leave together. A register that
        // cannot be read counts as 0.
        uint32_t control = 0;
        uint32_t status = 0;
        if (!port->GetModemControl(&control)) control = 0;
        if (!port->GetModemStatus(&status)) status = 0;
        uint8_t reply[8];
        EncodeU32(port->HandleValue(), reply);
        EncodeU32(ModemRegistersToLineMask(control, status), reply + 4);
        core_->Send(reply, sizeof reply, kFieldTimeout);

        SerialTimeouts received;
        received.ReadIntervalTimeout = ReadField();
        received.ReadTotalTimeoutMultiplier = ReadField();
        received.ReadTotalTimeoutConstant = ReadField();
        received.WriteTotalTimeoutMultiplier = ReadField();
        received.WriteTotalTimeoutConstant = ReadField();
        SerialTimeouts timeouts;
        port->GetTimeouts(&timeouts);
        timeouts = received;
        port->SetTimeouts(timeouts);

        if (!core_->StartReader(*this)) throw CBlockingSocketException("Open Port");
    }

    [[noreturn]] void Refuse(int portNumber, const char* cause) {
        LogLine(LogPriority::Notice, "refused %s: COM%d (%s): %s", core_->Peer().c_str(),
                portNumber, ResolvePortDevice(portNumber).c_str(), cause);
        core_->SetEndReason("open refused");
        uint8_t reply[4];
        EncodeU32(PL_OPEN_FAILED, reply);
        core_->Send(reply, sizeof reply, kFieldTimeout);
        throw CBlockingSocketException("Open Port");
    }

    void Settings(const uint8_t* bytes) {
        CSerialPort* port = core_->Port();
        if (port == nullptr) return;
        const PortLinkSettings settings = DecodeSettings(bytes);
        SerialDcb dcb;
        if (port->GetState(&dcb)) {
            ApplySettingsToDcb(settings, &dcb);
            port->SetState(dcb);
        }
        port->SetHandflow(HandflowFromSettings(settings));
        core_->NoteLine();
    }

    // The payload goes to the port in bounded pieces, together with the
    // payloads of the PL_DATA messages received right behind it, so a burst
    // is one port write. A port that fails or cuts a write short gets no more
    // of this run, which is still read to its end.
    void Data() {
        bool portTakes = core_->Port() != nullptr;
        do {
            const uint8_t* piece = nullptr;
            uint32_t size = 0;
            if (!reader_.NextPayloadPiece(&piece, &size, kFieldTimeout, true))
                throw CBlockingSocketException("Receive");
            if (!portTakes || size == 0) continue;
            uint32_t written = 0;
            if (!core_->WritePort(piece, size, &written)) portTakes = false;
        } while (reader_.PayloadLeft() != 0);
    }

    void FlowControl(uint32_t lineMask) {
        CSerialPort* port = core_->Port();
        if (port == nullptr) return;
        // Lines are only ever raised: without the register as it stands, a
        // write could lower the line the request does not name, so none is made.
        uint32_t control = 0;
        if (port->GetModemControl(&control)) {
            const uint32_t wanted = ApplyLineRequest(control, lineMask);
            if (wanted != control) port->SetModemControl(wanted);
        }
        // The reader reports the status as it now stands.
        core_->RequestModemReport();
    }

    CMessageReader reader_;
    std::unique_ptr<uint8_t[]> wire_;
    CSessionCore* core_ = nullptr;
    bool opened_ = false;
};

}  // namespace

uint32_t RunPortSessionWith(CBlockingSocket& connection, const SessionAdmission& admission,
                            const SerialPortOpener& openPort) {
    CPortLinkProtocol protocol(connection);
    RunSession(connection, admission, openPort, protocol);
    return 0;
}

uint32_t RunPortSessionWith(CBlockingSocket& connection, const SerialPortOpener& openPort) {
    return RunPortSessionWith(connection, SessionAdmission{}, openPort);
}

uint32_t RunPortSession(CBlockingSocket& connection, const SessionAdmission& admission) {
    static const SerialPortOpener kOpen = [](int n, CStatus* status) {
        return OpenPortDevice(n, status);
    };
    return RunPortSessionWith(connection, admission, kOpen);
}

}  // namespace tovl
