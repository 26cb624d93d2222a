// The session reads the connection and writes the port; the reader reads the
// port and writes the connection. Both send on the connection (answers and
// data), so every send takes the context's send lock.
#include "server/rfc2217_session.h"

#include <memory>
#include <mutex>
#include <vector>

#include "net/port_link.h"
#include "platform/log.h"
#include "platform/thread.h"
#include "server/access_check.h"
#include "server/port_device.h"
#include "server/rfc2217_codec.h"
#include "server/rfc2217_control.h"

namespace tovl {

namespace {

constexpr uint32_t kReadChunk = 4096;

struct Rfc2217Context {
    std::shared_ptr<CSerialPort> port;
    CBlockingSocket* connection = nullptr;
    std::unique_ptr<CComPortControl> control;
    std::mutex sendLock;
    CEvent stop;         // manual reset: the session has ended
    CEvent modemChange;  // auto reset: a modem line changed
    CEvent resumed;      // manual reset: set unless the client suspended the flow
    CEvent ended;        // manual reset: the reader has finished

    void Send(const std::vector<uint8_t>& bytes) {
        if (bytes.empty()) return;
        std::lock_guard<std::mutex> lock(sendLock);
        connection->Write(bytes.data(), static_cast<int>(bytes.size()), kServerSendTimeout);
    }
};

void SendModemState(Rfc2217Context& context, bool force) {
    uint32_t status = 0;
    if (!context.port->GetModemStatus(&status)) status = 0;
    std::vector<uint8_t> notice;
    if (context.control->ModemStateNotice(status, force, &notice)) context.Send(notice);
}

// While the client has suspended the flow the port's data waits. False when
// the session ended meanwhile.
bool WaitWhileSuspended(Rfc2217Context& context) {
    while (context.control->Suspended()) {
        CEvent* events[] = {&context.stop, &context.resumed};
        if (WaitForAnyEvent(events, 2, kInfinite) == 0) return false;
        // Resumed is cleared just after the flag is set: a short look again.
        if (context.control->Suspended()) SleepMs(10);
    }
    return true;
}

void RunReader(Rfc2217Context& context) {
    CSerialPort& port = *context.port;
    std::vector<uint8_t> buffer(PL_DATA_MAX);
    std::vector<uint8_t> out;
    try {
        SendModemState(context, true);
        port.StartModemWait(context.modemChange);
        for (;;) {
            if (!WaitWhileSuspended(context)) return;
            uint32_t count = 0;
            const ReaderWake wake =
                port.WaitForReader(context.modemChange, context.stop, buffer.data(),
                                   static_cast<uint32_t>(buffer.size()), &count);
            if (wake == ReaderWake::Stop) return;
            // Line errors are looked for whenever the reader wakes: they come
            // with received bytes, or (where the port signals them) as an event.
            out.clear();
            context.control->LineStateNotice(&out);
            if (wake == ReaderWake::ModemChange) {
                if (context.stop.Wait(0) == 0) return;
                context.Send(out);
                SendModemState(context, false);
                port.StartModemWait(context.modemChange);
                continue;
            }
            if (count > 0) {
                // A read that completed as the client suspended the flow waits too.
                if (!WaitWhileSuspended(context)) return;
                AppendTelnetData(buffer.data(), count, &out);
            }
            context.Send(out);
        }
    } catch (const CBlockingSocketException&) {
        // The client cannot be reached: end the session now.
        context.connection->Close();
    }
}

class CRfc2217Session {
  public:
    CRfc2217Session(CBlockingSocket& connection, int portNumber, const SerialPortOpener& openPort)
        : connection_(connection),
          portNumber_(portNumber),
          openPort_(openPort),
          context_(std::make_shared<Rfc2217Context>()) {
        context_->connection = &connection;
        context_->stop.Create(CEvent::ResetMode::Manual, false);
        context_->modemChange.Create(CEvent::ResetMode::Auto, false);
        context_->resumed.Create(CEvent::ResetMode::Manual, true);
        context_->ended.Create(CEvent::ResetMode::Manual, false);
    }

    void Run() {
        try {
            if (Open()) Serve();
        } catch (const CBlockingSocketException&) {
        }
        End();
    }

  private:
    bool Open() {
        if (!IsPeerAllowed(connection_)) {
            LogLine(LogPriority::Notice,
                    "rfc2217 COM%d: connection from an unlisted address refused", portNumber_);
            return false;
        }
        std::shared_ptr<CSerialPort> port = openPort_(portNumber_);
        if (!port) {
            LogLine(LogPriority::Notice, "rfc2217 COM%d: port cannot be opened, connection refused",
                    portNumber_);
            return false;
        }
        port_ = port;
        port_->Purge();
        // Reads return what the port holds at once: the reader then sends
        // every byte as it arrives, as a terminal client expects.
        SerialTimeouts timeouts;
        port_->GetTimeouts(&timeouts);
        timeouts.ReadIntervalTimeout = 0xFFFFFFFF;
        timeouts.ReadTotalTimeoutMultiplier = 0;
        timeouts.ReadTotalTimeoutConstant = 0;
        port_->SetTimeouts(timeouts);
        context_->port = port_;
        context_->control = std::make_unique<CComPortControl>(*port_);
        port_->WakeOnLineErrors();
        LogLine(LogPriority::Info, "rfc2217 COM%d: session opened", portNumber_);
        std::vector<uint8_t> offers;
        codec_.Start(&offers);
        context_->Send(offers);
        if (!StartThread([context = context_] {
                RunReader(*context);
                context->ended.Set();
            }))
            return false;
        readerStarted_ = true;
        return true;
    }

    void Serve() {
        std::vector<uint8_t> received(kReadChunk);
        std::vector<TelnetItem> items;
        std::vector<uint8_t> toNet;
        for (;;) {
            const int n =
                connection_.Receive(received.data(), static_cast<int>(received.size()), kNoTimeout);
            if (n <= 0) return;
            items.clear();
            toNet.clear();
            codec_.Receive(received.data(), static_cast<size_t>(n), &items, &toNet);
            context_->control->Apply(items, &toNet);
            if (context_->control->Suspended())
                context_->resumed.Clear();
            else
                context_->resumed.Set();
            context_->Send(toNet);
        }
    }

    void End() {
        context_->stop.Set();
        if (port_) port_->Close();
        connection_.Close();
        if (readerStarted_) context_->ended.Wait(kInfinite);
        if (port_) LogLine(LogPriority::Info, "rfc2217 COM%d: session ended", portNumber_);
    }

    CBlockingSocket& connection_;
    const int portNumber_;
    const SerialPortOpener& openPort_;
    std::shared_ptr<Rfc2217Context> context_;
    std::shared_ptr<CSerialPort> port_;
    CTelnetCodec codec_;
    bool readerStarted_ = false;
};

}  // namespace

void RunRfc2217SessionWith(CBlockingSocket& connection, int portNumber,
                           const SerialPortOpener& openPort) {
    CRfc2217Session session(connection, portNumber, openPort);
    session.Run();
}

void RunRfc2217Session(CBlockingSocket& connection, int portNumber) {
    static const SerialPortOpener kOpen = [](int n) { return OpenPortDevice(n); };
    RunRfc2217SessionWith(connection, portNumber, kOpen);
}

}  // namespace tovl
