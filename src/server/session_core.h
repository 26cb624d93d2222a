// The core of every session of a real port, whatever protocol its client
// speaks. It owns what all sessions have: the peer and whether it is listed,
// the real port and its exclusive use, the port reader thread, the one lock
// under which anything is sent on the connection, the stop, the ending and
// its log line. A protocol plugs in as a CSessionProtocol: the session thread
// runs its Serve (which reads the connection and asks the core to open the
// port, write to it and send), and the reader thread hands it what the port
// delivers.
//
// One core per accepted connection, made and run on the connection's own
// thread; Run returns once the reader has ended, the port is closed and the
// connection is closed. No exception leaves Run or the reader: anything
// thrown ends this session alone, logged.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "net/blocking_socket.h"
#include "platform/event.h"
#include "platform/serial_port.h"
#include "server/admission.h"
#include "server/session_registry.h"

namespace tovl {

class CSessionCore;

// What the reader takes from the port at once: 64 blocks of 1024.
constexpr uint32_t kReaderCapacity = 64 * 1024;

class CSessionProtocol {
  public:
    virtual ~CSessionProtocol() = default;

    // Names the protocol in log lines ("port-link", "rfc2217").
    virtual const char* Name() const = 0;

    // Session thread: the protocol's loop from its first byte to its end. It
    // returns (or throws CBlockingSocketException) when the session ends,
    // after telling the core why with SetEndReason.
    virtual void Serve(CSessionCore& core) = 0;

    // Reader thread, once before its first wait.
    virtual void ReaderStarted(CSessionCore& /*core*/) {}
    // Reader: bytes the port delivered (count may be 0: a read that
    // completed empty).
    virtual void PortData(CSessionCore& core, const uint8_t* data, uint32_t count) = 0;
    // Reader: a modem line changed, or the session asked for a report.
    virtual void ModemChange(CSessionCore& core) = 0;
    // Reader, before each wait: false holds the port's data back until the
    // core's Resume event (the client suspended the flow).
    virtual bool ReaderMayRead() const { return true; }
};

class CSessionCore {
  public:
    CSessionCore(CBlockingSocket& connection, const SessionAdmission& admission,
                 const SerialPortOpener& openPort);
    ~CSessionCore();
    CSessionCore(const CSessionCore&) = delete;
    CSessionCore& operator=(const CSessionCore&) = delete;

    // Session thread: serves the connection with protocol until the session
    // ends, then ends it and logs the line.
    void Run(CSessionProtocol& protocol);

    // Who the peer is: "a.b.c.d:port", and whether it was on the list when
    // it connected (a stranger's whole stay is bounded).
    const std::string& Peer() const { return peer_; }
    bool Listed() const { return admission_.listed; }
    // Session thread: reads the list again, as every open request does.
    bool PeerAllowedNow();
    // Session thread, for a stranger: seconds left of its stay (at least 1).
    int StrangerSecondsLeft() const;

    // Session thread: opens COM<portNumber> for exclusive use. Null (and the
    // cause for the log in *cause) when it cannot be had. The reader is not
    // started yet.
    std::shared_ptr<CSerialPort> OpenPort(int portNumber, std::string* cause);
    CSerialPort* Port() const { return port_.get(); }
    // Session thread, for the protocols bound to one port that carry its
    // bytes as a stream (RFC 2217, raw): a stranger is refused at once;
    // otherwise COM<portNumber> is opened (a refusal logged), purged, and
    // set to hand over every byte as it arrives. Null when the session ends.
    std::shared_ptr<CSerialPort> OpenStreamPort(const char* protocol, int portNumber);
    int PortNumber() const { return portNumber_; }
    // Session thread: starts the reader. False (logged) when no thread can be
    // had; the session must then end.
    bool StartReader(CSessionProtocol& protocol);

    // Session thread: writes to the port. The write also ends when the
    // session stops; once the client has left, it goes on only while the
    // device takes data (and at most for the keep-alive bound), so a device
    // that takes nothing cannot hold the port. False when the port did not
    // take everything (*written tells how much).
    bool WritePort(const uint8_t* data, uint32_t length, uint32_t* written);

    // Any thread: sends bytes on the connection; the one way anything is
    // sent, so messages never interleave. Socket exceptions pass through.
    void Send(const void* data, size_t size, int seconds);

    // Any thread: the reader reports a modem line state now (ModemChange).
    void RequestModemReport() { modemChange_.Set(); }
    // Session thread: the reader's hold (ReaderMayRead) is over, or begins.
    void Resume();
    void Hold();

    // For an attached trace (server/session_trace.h): the port's line as it
    // now stands (session thread, after a settings change), and the modem
    // status register a protocol has just read (reader). Nothing is done
    // while no trace is attached.
    void NoteLine();
    void NoteModem(uint32_t status);

    // Any thread: true once the session ends (messages already received are
    // then not acted on).
    bool Stopped() { return stop_.Wait(0) == 0; }

    // Any thread: why the session ends; the first reason given is kept.
    void SetEndReason(const std::string& reason);
    // Session thread: the connection ended as a receive returned result (0:
    // the client closed it; -1: it failed, the socket's last error says how).
    void ConnectionEnded(int result);
    // Any thread (the control channel): the session as it stands now. The
    // port is asked only for its state and its DTR/RTS, never for what would
    // change its reports (the modem status deltas).
    SessionInfo Info();
    // Any thread: the COM number while a port is open, else 0.
    int OpenPortNumber();

    // Any thread: ends the session from outside its loop (the reader after a
    // failed send or a lost device): the stop is set and the connection
    // closed, so the session thread wakes.
    void Abort(const std::string& reason);

  private:
    struct ReaderShared;
    // The port reader of every protocol: the port's data and modem changes to
    // the protocol, until the stop.
    void PortReaderThreadProc(CSessionProtocol& protocol);
    void End();
    std::string EndLine();

    CBlockingSocket& connection_;
    const SessionAdmission admission_;
    const SerialPortOpener& openPort_;
    std::string peer_;
    std::string protocolName_;
    std::chrono::steady_clock::time_point started_;

    std::shared_ptr<CSerialPort> port_;
    int portNumber_ = 0;
    std::string device_;
    CEvent stop_;         // manual reset: the session ends
    CEvent modemChange_;  // auto reset: a line changed or a report is due
    CEvent resumed_;      // manual reset: set unless the reader is held
    std::shared_ptr<ReaderShared> reader_;

    std::mutex infoLock_;  // the port, its number and device, the protocol's name
    std::mutex sendLock_;
    std::mutex reasonLock_;
    std::string endReason_;
    std::atomic<uint64_t> toPort_{0};
    std::optional<std::chrono::steady_clock::time_point> clientLeftAt_;
    bool held_ = false;      // session thread
    std::string notedLine_;  // session thread: the line last traced
    std::atomic<uint64_t> toClient_{0};
};

// A connection's whole session with protocol, on the calling thread. Without
// an admission (tests, fuzzing) the peer is asked of the connection; one
// that has gone already is closed, logged.
void RunSession(CBlockingSocket& connection, const SessionAdmission& admission,
                const SerialPortOpener& openPort, CSessionProtocol& protocol);

}  // namespace tovl
