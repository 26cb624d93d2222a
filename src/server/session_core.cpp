// The session's life: admitted, served by its protocol, ended in one place.
// The reader shares the events and the port with the session through
// ReaderShared; the session waits for the reader's end before it returns, so
// the core and the protocol outlive every use the reader makes of them.
#include "server/session_core.h"

#include <cstdio>
#include <exception>
#include <optional>

#include "platform/last_error.h"
#include "platform/log.h"
#include "platform/thread.h"
#include "server/access_check.h"
#include "server/port_device.h"
#include "server/session_trace.h"

namespace tovl {

namespace {

using Clock = std::chrono::steady_clock;

// After the client left, the port gets what it sent before for at most the
// keep-alive bound, and only while the device takes some of it.
constexpr std::chrono::seconds kDrainAfterLeaving{30};
constexpr uint32_t kDrainStallMs = 2000;

std::string OpenFailureText(uint32_t error, const std::string& device) {
    switch (error) {
        case kErrorFileNotFound:
            return "no such device";
        case kErrorAccessDenied: {
            const std::string holder = device.empty() ? "" : DescribeSerialHolder(device);
            return holder.empty() ? "busy or not permitted" : "busy, " + holder;
        }
        case kErrorNotSupported:
            return "not a terminal";
        case kErrorInvalidParameter:
            return "no device for this port number";
        default:
            return "open error " + std::to_string(error);
    }
}

// A connection that failed: a peer that vanished is told apart from one
// that reset the connection.
std::string DescribeSocketError(const std::string& operation, int error) {
    switch (error) {
        case kWsaEtimedout:
            return "the client vanished (keep-alive gave up)";
        case kWsaEconnreset:
            return "connection reset by the client";
        default:
            return "connection dropped (" + operation + " error " + std::to_string(error) + ")";
    }
}

std::string DescribeFailure(const CBlockingSocketException& e) {
    const std::string& op = e.Operation();
    if (op.find("timeout") != std::string::npos) return "time-out (" + op + ")";
    if (e.ErrorCode() == 0) return "connection closed mid-message";
    return DescribeSocketError(op, e.ErrorCode());
}

// Inside a catch block: why the session ends for what was thrown.
std::string DescribeThrown() {
    try {
        throw;
    } catch (const CBlockingSocketException& e) {
        return DescribeFailure(e);
    } catch (const std::exception& e) {
        return std::string("internal error: ") + e.what();
    } catch (...) {
        return "internal error";
    }
}

// "115200,8N1,rtscts": the line as a port's state tells it.
std::string LineText(const SerialDcb& dcb) {
    static const char kParity[] = "NOEMS";
    std::string text = std::to_string(dcb.BaudRate) + "," + std::to_string(dcb.ByteSize) +
                       (dcb.Parity < 5 ? kParity[dcb.Parity] : '?') +
                       (dcb.StopBits == 0   ? "1"
                        : dcb.StopBits == 1 ? "1.5"
                                            : "2");
    if (dcb.fOutxCtsFlow) text += ",rtscts";
    if (dcb.fOutX || dcb.fInX) text += ",xonxoff";
    return text;
}

}  // namespace

struct CSessionCore::ReaderShared {
    CEvent ended;  // manual reset: the reader has finished
};

CSessionCore::CSessionCore(CBlockingSocket& connection, const SessionAdmission& admission,
                           const SerialPortOpener& openPort)
    : connection_(connection),
      admission_(admission),
      openPort_(openPort),
      peer_(admission.peer),
      started_(Clock::now()) {
    stop_.Create(CEvent::ResetMode::Manual, false);
    RegisterSession(this);
}

// Out of the registry first: nobody asks a core that is going away.
CSessionCore::~CSessionCore() {
    UnregisterSession(this);
}

void CSessionCore::Run(CSessionProtocol& protocol) {
    {
        std::lock_guard<std::mutex> lock(infoLock_);
        protocolName_ = protocol.Name();
    }
    {
        // A stranger's connection is closed at its deadline, whatever it does.
        std::optional<CStrangerWatch> watch;
        if (!admission_.listed) watch.emplace(connection_, admission_.deadline);
        try {
            protocol.Serve(*this);
        } catch (...) {
            SetEndReason(DescribeThrown());
        }
        if (watch && watch->Expired()) SetEndReason("a stranger's time is over");
    }
    End();
    const std::string line = EndLine();
    LogLine(LogPriority::Info, "%s", line.c_str());
    if (port_ && TraceWanted(portNumber_)) TraceNote(portNumber_, line);
}

bool CSessionCore::PeerAllowedNow() {
    return IsPeerAllowed(connection_);
}

int CSessionCore::StrangerSecondsLeft() const {
    const auto left =
        std::chrono::duration_cast<std::chrono::seconds>(admission_.deadline - Clock::now());
    return static_cast<int>(std::max<int64_t>(1, left.count() + 1));
}

std::shared_ptr<CSerialPort> CSessionCore::OpenPort(int portNumber, std::string* cause) {
    const std::string device = ResolvePortDevice(portNumber);
    {
        std::lock_guard<std::mutex> lock(infoLock_);
        portNumber_ = portNumber;
        device_ = device;
    }
    CStatus status;
    std::shared_ptr<CSerialPort> port = openPort_(portNumber, &status);
    if (!port) {
        *cause = OpenFailureText(status.Error(), device_);
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(infoLock_);
        port_ = port;
    }
    modemChange_.Create(CEvent::ResetMode::Auto, false);
    resumed_.Create(CEvent::ResetMode::Manual, true);
    if (TraceWanted(portNumber))
        TraceNote(portNumber, "session of " + peer_ + " (" + protocolName_ + ") opened COM" +
                                  std::to_string(portNumber) + " (" + device + ")");
    return port_;
}

std::shared_ptr<CSerialPort> CSessionCore::OpenStreamPort(const char* protocol, int portNumber) {
    if (!admission_.listed) {
        LogLine(LogPriority::Notice, "%s COM%d: %s refused: not on the allowed list", protocol,
                portNumber, peer_.c_str());
        SetEndReason("not on the allowed list");
        return nullptr;
    }
    std::string cause;
    std::shared_ptr<CSerialPort> port = OpenPort(portNumber, &cause);
    if (!port) {
        LogLine(LogPriority::Notice, "%s COM%d (%s): %s refused: %s", protocol, portNumber,
                device_.c_str(), peer_.c_str(), cause.c_str());
        SetEndReason("open refused");
        return nullptr;
    }
    port->Purge();
    // Reads return what the port holds at once: the reader then sends every
    // byte as it arrives, as a terminal or a socket client expects.
    SerialTimeouts timeouts;
    port->GetTimeouts(&timeouts);
    timeouts.ReadIntervalTimeout = 0xFFFFFFFF;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    port->SetTimeouts(timeouts);
    return port;
}

bool CSessionCore::StartReader(CSessionProtocol& protocol) {
    auto shared = std::make_shared<ReaderShared>();
    shared->ended.Create(CEvent::ResetMode::Manual, false);
    if (!StartThread([this, &protocol, shared] {
            PortReaderThreadProc(protocol);
            shared->ended.Set();
        })) {
        LogLine(LogPriority::Error, "%s: COM%d for %s: no thread for the port reader",
                protocol.Name(), portNumber_, peer_.c_str());
        SetEndReason("no thread for the port reader");
        return false;
    }
    reader_ = shared;
    return true;
}

bool CSessionCore::WritePort(const uint8_t* data, uint32_t length, uint32_t* written) {
    *written = 0;
    if (!port_) return false;
    while (*written < length) {
        WriteAbort abort;
        abort.stop = &stop_;
        if (!clientLeftAt_) {
            abort.connection = connection_.Handle();
        } else {
            // What the client sent before it left still goes to the device,
            // as long as the device takes it, within the keep-alive bound.
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                *clientLeftAt_ + kDrainAfterLeaving - Clock::now());
            if (left.count() <= 0) return false;
            abort.limitMs = static_cast<uint32_t>(left.count());
            abort.stallMs = kDrainStallMs;
        }
        // Traced as handed to the port, so the trace keeps the order in
        // which things happened; a write cut short says so after it.
        const bool traced = TraceWanted(portNumber_);
        if (traced) TraceEvent(portNumber_, TraceKind::ToPort, data + *written, length - *written);
        uint32_t done = 0;
        const CStatus status = port_->Write(data + *written, length - *written, &done, abort);
        if (traced && done != length - *written)
            TraceNote(portNumber_, "the port took " + std::to_string(done) + " of those " +
                                       std::to_string(length - *written) + " bytes (" +
                                       status.ToString() + ")");
        *written += done;
        toPort_ += done;
        if (status) return *written == length;
        if (status.Error() != kErrorGracefulDisconnect || clientLeftAt_) return false;
        clientLeftAt_ = Clock::now();
    }
    return true;
}

void CSessionCore::Send(const void* data, size_t size, int seconds) {
    if (size == 0) return;
    std::lock_guard<std::mutex> lock(sendLock_);
    connection_.Write(data, static_cast<int>(size), seconds);
}

void CSessionCore::SetEndReason(const std::string& reason) {
    std::lock_guard<std::mutex> lock(reasonLock_);
    if (endReason_.empty()) endReason_ = reason;
}

void CSessionCore::Resume() {
    resumed_.Set();
    if (held_ && TraceWanted(portNumber_)) TraceNote(portNumber_, "the client resumed the flow");
    held_ = false;
}

void CSessionCore::Hold() {
    resumed_.Clear();
    if (!held_ && TraceWanted(portNumber_)) TraceNote(portNumber_, "the client suspended the flow");
    held_ = true;
}

void CSessionCore::NoteLine() {
    if (!port_ || !TraceWanted(portNumber_)) return;
    SerialDcb dcb;
    if (!port_->GetState(&dcb)) return;
    const std::string line = LineText(dcb);
    if (line == notedLine_) return;
    notedLine_ = line;
    TraceNote(portNumber_, "line " + line);
}

void CSessionCore::NoteModem(uint32_t status) {
    if (!TraceWanted(portNumber_)) return;
    std::string lines;
    for (const auto& [bit, name] : {std::pair<uint32_t, const char*>{0x10, "CTS"},
                                    {0x20, "DSR"},
                                    {0x40, "RI"},
                                    {0x80, "DCD"}})
        if (status & bit) lines += std::string(lines.empty() ? "" : " ") + name;
    char hex[16];
    snprintf(hex, sizeof hex, "0x%02x", static_cast<unsigned>(status));
    TraceNote(portNumber_, "modem status " + std::string(hex) + " (" +
                               (lines.empty() ? "no line up" : lines) + ")");
}

int CSessionCore::OpenPortNumber() {
    std::lock_guard<std::mutex> lock(infoLock_);
    return port_ ? portNumber_ : 0;
}

SessionInfo CSessionCore::Info() {
    SessionInfo info;
    std::shared_ptr<CSerialPort> port;
    {
        std::lock_guard<std::mutex> lock(infoLock_);
        info.protocol = protocolName_;
        if (port_) {
            port = port_;
            info.portNumber = portNumber_;
            info.device = device_;
        }
    }
    info.peer = peer_;
    info.listed = admission_.listed;
    info.seconds = std::chrono::duration<double>(Clock::now() - started_).count();
    info.toPort = toPort_;
    info.toClient = toClient_;
    if (port) {
        SerialDcb dcb;
        if (port->GetState(&dcb)) info.line = LineText(dcb);
        uint32_t control = 0;
        if (port->GetModemControl(&control)) info.modemControl = control;
    }
    return info;
}

void CSessionCore::ConnectionEnded(int result) {
    SetEndReason(result == 0 ? "connection closed by the client"
                             : DescribeSocketError("Receive", SockLastError()));
}

void CSessionCore::Abort(const std::string& reason) {
    SetEndReason(reason);
    stop_.Set();
    connection_.Close();
}

// The reader's body: never throws, whatever the protocol or the port does.
void CSessionCore::PortReaderThreadProc(CSessionProtocol& protocol) {
    try {
        CSerialPort& port = *port_;
        const std::unique_ptr<uint8_t[]> buffer(new uint8_t[kReaderCapacity]);
        port.StartModemWait(modemChange_);
        protocol.ReaderStarted(*this);
        // While the protocol holds the port's data back, only the stop or
        // the end of the hold wakes the reader. False: the session stopped.
        auto waitWhileHeld = [this, &protocol] {
            while (!protocol.ReaderMayRead()) {
                CEvent* events[] = {&stop_, &resumed_};
                if (WaitForAnyEvent(events, 2, kInfinite) == 0) return false;
            }
            return true;
        };
        for (;;) {
            if (!waitWhileHeld()) return;
            uint32_t count = 0;
            CStatus loss;
            switch (port.WaitForReader(modemChange_, stop_, buffer.get(), kReaderCapacity, &count,
                                       &loss)) {
                case ReaderWake::Stop:
                    return;
                case ReaderWake::ModemChange:
                    // The session has ended: the next wait sees the stop.
                    if (stop_.Wait(0) == 0) return;
                    protocol.ModemChange(*this);
                    port.StartModemWait(modemChange_);
                    break;
                case ReaderWake::Data:
                    // A read that completed as the hold began waits too.
                    if (count != 0 && !waitWhileHeld()) return;
                    if (count != 0 && TraceWanted(portNumber_))
                        TraceEvent(portNumber_, TraceKind::ToClient, buffer.get(), count);
                    protocol.PortData(*this, buffer.get(), count);
                    toClient_ += count;
                    break;
                case ReaderWake::Lost:
                    LogLine(LogPriority::Warning, "%s: COM%d (%s) lost: %s", protocol.Name(),
                            portNumber_, device_.c_str(), loss.ToString().c_str());
                    Abort("device lost (" + ErrorText(loss.Error()) + ")");
                    return;
            }
        }
    } catch (...) {
        // The client cannot be reached (or the reader failed): end the whole
        // session, so the port is released now rather than at the client's
        // next message.
        Abort(DescribeThrown());
    }
}

void CSessionCore::End() {
    stop_.Set();
    if (port_) port_->Close();
    connection_.Close();
    // The reader uses the connection and the protocol until it has ended;
    // the stop, the port's close and the connection's close woke it.
    if (reader_) reader_->ended.Wait(kInfinite);
}

std::string CSessionCore::EndLine() {
    std::string reason;
    {
        std::lock_guard<std::mutex> lock(reasonLock_);
        reason = endReason_.empty() ? "ended" : endReason_;
    }
    const auto seconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_).count();
    std::string line = "session of " + admission_.address + " ended: " + reason;
    line += " (" + peer_ + ", " + protocolName_;
    if (port_) line += ", COM" + std::to_string(portNumber_);
    line += ", " + std::to_string(seconds / 1000) + "." + std::to_string(seconds % 1000 / 100) +
            " s, " + std::to_string(toPort_.load()) + " bytes to the port, " +
            std::to_string(toClient_.load()) + " to the client)";
    return line;
}

void RunSession(CBlockingSocket& connection, const SessionAdmission& admission,
                const SerialPortOpener& openPort, CSessionProtocol& protocol) {
    SessionAdmission known = admission;
    if (!known.known && !AdmitConnection(connection, &known)) {
        LogLine(LogPriority::Info, "%s: a connection ended before its session started",
                protocol.Name());
        connection.Close();
        return;
    }
    CSessionCore core(connection, known, openPort);
    core.Run(protocol);
}

}  // namespace tovl
