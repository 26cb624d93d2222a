// Raw TCP on the session core: what the client sends is written to the port,
// what the port delivers is sent to the client, byte for byte.
#include "server/raw_session.h"

#include <vector>

#include "net/port_link.h"
#include "platform/log.h"
#include "server/port_device.h"
#include "server/session_core.h"

namespace tovl {

namespace {

constexpr uint32_t kReadChunk = 64 * 1024;

class CRawProtocol final : public CSessionProtocol {
  public:
    CRawProtocol(CBlockingSocket& connection, int portNumber, const RawLine& line)
        : connection_(connection), portNumber_(portNumber), line_(line) {}

    const char* Name() const override { return "raw"; }

    void Serve(CSessionCore& core) override {
        if (Open(core)) Receive(core);
    }

    void PortData(CSessionCore& core, const uint8_t* data, uint32_t count) override {
        core.Send(data, count, kServerSendTimeout);
    }

    // The plain bytes carry no line states.
    void ModemChange(CSessionCore& /*core*/) override {}

  private:
    bool Open(CSessionCore& core) {
        const std::string device = ResolvePortDevice(portNumber_);
        std::shared_ptr<CSerialPort> port = core.OpenStreamPort("raw", portNumber_);
        if (!port) return false;
        SerialDcb dcb;
        CStatus lineSet = port->GetState(&dcb);
        if (lineSet) {
            ApplyRawLine(line_, &dcb);
            lineSet = port->SetState(dcb);
        }
        if (!lineSet)
            LogLine(LogPriority::Warning, "raw COM%d (%s): the line %s cannot be set: %s",
                    portNumber_, device.c_str(), FormatRawLine(line_).c_str(),
                    lineSet.ToString().c_str());
        LogLine(LogPriority::Info, "raw COM%d (%s): opened for %s at %s", portNumber_,
                device.c_str(), core.Peer().c_str(), FormatRawLine(line_).c_str());
        core.NoteLine();
        return core.StartReader(*this);
    }

    void Receive(CSessionCore& core) {
        std::vector<uint8_t> received(kReadChunk);
        for (;;) {
            const int n =
                connection_.Receive(received.data(), static_cast<int>(received.size()), kNoTimeout);
            if (n <= 0 || core.Stopped()) {
                core.ConnectionEnded(n);
                return;
            }
            uint32_t written = 0;
            core.WritePort(received.data(), static_cast<uint32_t>(n), &written);
        }
    }

    CBlockingSocket& connection_;
    const int portNumber_;
    const RawLine line_;
};

}  // namespace

void ApplyRawLine(const RawLine& line, SerialDcb* dcb) {
    dcb->BaudRate = line.baud;
    dcb->ByteSize = line.dataBits;
    switch (line.parity) {
        case 'O':
            dcb->Parity = 1;
            break;
        case 'E':
            dcb->Parity = 2;
            break;
        case 'M':
            dcb->Parity = 3;
            break;
        case 'S':
            dcb->Parity = 4;
            break;
        default:
            dcb->Parity = 0;
    }
    dcb->fParity = dcb->Parity != 0;
    dcb->StopBits = line.stopBits == 2 ? 2 : 0;
    const bool rtscts = line.flow == RawFlow::RtsCts;
    const bool xonxoff = line.flow == RawFlow::XonXoff;
    dcb->fOutxCtsFlow = rtscts;
    dcb->fRtsControl = rtscts ? 2 : 1;
    dcb->fOutxDsrFlow = false;
    dcb->fDtrControl = 1;
    dcb->fOutX = xonxoff;
    dcb->fInX = xonxoff;
}

void RunRawSessionWith(CBlockingSocket& connection, int portNumber, const RawLine& line,
                       const SessionAdmission& admission, const SerialPortOpener& openPort) {
    CRawProtocol protocol(connection, portNumber, line);
    RunSession(connection, admission, openPort, protocol);
}

void RunRawSession(CBlockingSocket& connection, int portNumber, const RawLine& line,
                   const SessionAdmission& admission) {
    static const SerialPortOpener kOpen = [](int n, CStatus* status) {
        return OpenPortDevice(n, status);
    };
    RunRawSessionWith(connection, portNumber, line, admission, kOpen);
}

}  // namespace tovl
