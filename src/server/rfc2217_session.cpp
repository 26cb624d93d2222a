// RFC 2217 on the session core: the telnet codec and Com Port Control. The
// session thread reads the connection, writes the port and answers; the
// reader sends the port's data and the modem and line notices. Both send
// through the core, which keeps their bytes apart.
#include "server/rfc2217_session.h"

#include <memory>
#include <vector>

#include "net/port_link.h"
#include "platform/log.h"
#include "server/port_device.h"
#include "server/rfc2217_codec.h"
#include "server/rfc2217_control.h"
#include "server/session_core.h"

namespace tovl {

namespace {

constexpr uint32_t kReadChunk = 4096;

void Send(CSessionCore& core, const std::vector<uint8_t>& bytes) {
    core.Send(bytes.data(), bytes.size(), kServerSendTimeout);
}

class CRfc2217Protocol final : public CSessionProtocol {
  public:
    CRfc2217Protocol(CBlockingSocket& connection, int portNumber)
        : connection_(connection), portNumber_(portNumber) {}

    const char* Name() const override { return "rfc2217"; }

    void Serve(CSessionCore& core) override {
        if (Open(core)) Receive(core);
    }

    void ReaderStarted(CSessionCore& core) override { SendModemState(core, true); }

    // Line errors are looked for whenever the reader wakes: they come with
    // received bytes, or (where the port signals them) as an event.
    void PortData(CSessionCore& core, const uint8_t* data, uint32_t count) override {
        out_.clear();
        control_->LineStateNotice(&out_);
        AppendTelnetData(data, count, &out_);
        Send(core, out_);
    }

    void ModemChange(CSessionCore& core) override {
        out_.clear();
        control_->LineStateNotice(&out_);
        Send(core, out_);
        SendModemState(core, false);
    }

    // While the client has suspended the flow the port's data waits.
    bool ReaderMayRead() const override { return !control_->Suspended(); }

  private:
    void SendModemState(CSessionCore& core, bool force) {
        uint32_t status = 0;
        if (!core.Port()->GetModemStatus(&status)) status = 0;
        core.NoteModem(status);
        std::vector<uint8_t> notice;
        if (control_->ModemStateNotice(status, force, &notice)) Send(core, notice);
    }

    bool Open(CSessionCore& core) {
        // A stranger has no reply to wait for: it is closed at once.
        std::shared_ptr<CSerialPort> port = core.OpenStreamPort("rfc2217", portNumber_);
        if (!port) return false;
        control_ = std::make_unique<CComPortControl>(*port);
        port->WakeOnLineErrors();
        LogLine(LogPriority::Info, "rfc2217 COM%d (%s): opened for %s", portNumber_,
                ResolvePortDevice(portNumber_).c_str(), core.Peer().c_str());
        std::vector<uint8_t> offers;
        codec_.Start(&offers);
        Send(core, offers);
        return core.StartReader(*this);
    }

    void Receive(CSessionCore& core) {
        std::vector<uint8_t> received(kReadChunk);
        std::vector<TelnetItem> items;
        std::vector<uint8_t> toNet;
        for (;;) {
            const int n =
                connection_.Receive(received.data(), static_cast<int>(received.size()), kNoTimeout);
            if (n <= 0 || core.Stopped()) {
                core.ConnectionEnded(n);
                return;
            }
            items.clear();
            toNet.clear();
            codec_.Receive(received.data(), static_cast<size_t>(n), &items, &toNet);
            // Data and commands in the order they came; the data through
            // the core, so a held write ends with the session.
            control_->Apply(items, &toNet, [&core](const uint8_t* data, uint32_t size) {
                uint32_t written = 0;
                core.WritePort(data, size, &written);
            });
            if (control_->Suspended())
                core.Hold();
            else
                core.Resume();
            core.NoteLine();
            Send(core, toNet);
        }
    }

    CBlockingSocket& connection_;
    const int portNumber_;
    CTelnetCodec codec_;
    std::unique_ptr<CComPortControl> control_;
    std::vector<uint8_t> out_;  // the reader's
};

}  // namespace

void RunRfc2217SessionWith(CBlockingSocket& connection, int portNumber,
                           const SessionAdmission& admission, const SerialPortOpener& openPort) {
    CRfc2217Protocol protocol(connection, portNumber);
    RunSession(connection, admission, openPort, protocol);
}

void RunRfc2217SessionWith(CBlockingSocket& connection, int portNumber,
                           const SerialPortOpener& openPort) {
    RunRfc2217SessionWith(connection, portNumber, SessionAdmission{}, openPort);
}

void RunRfc2217Session(CBlockingSocket& connection, int portNumber,
                       const SessionAdmission& admission) {
    static const SerialPortOpener kOpen = [](int n, CStatus* status) {
        return OpenPortDevice(n, status);
    };
    RunRfc2217SessionWith(connection, portNumber, admission, kOpen);
}

}  // namespace tovl
