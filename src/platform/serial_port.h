// A real serial port as the server drives it: opened "COM<n>" for exclusive
// use, its line settings (DCB fields and the driver's handshake record), its
// time-outs, modem control and status, writes, and the reader's wait for port
// data, a modem-line change or the stop of the session.
//
// Win32: a COM port opened for overlapped I/O. POSIX: a raw tty locked with
// flock. Which name stands for COM<n> is the server's business. One object is shared
// (std::shared_ptr) by the session thread and the port reader thread. The
// session thread calls the settings, control, Write and Close members; the
// reader calls StartModemWait, GetModemStatus and WaitForReader; either may
// call TakeLineErrors. Close may come
// while the reader waits: it wakes every wait on the port and releases the
// device at once; the object stays usable (every call then fails) until its
// last owner drops it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/event.h"
#include "platform/status.h"

namespace tovl {

// The DCB members the programs use, with the Windows meanings and values.
struct SerialDcb {
    uint32_t BaudRate = 9600;
    uint8_t ByteSize = 8;
    uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
    uint8_t XonChar = 0x11;
    uint8_t XoffChar = 0x13;
    uint8_t ErrorChar = 0;
    uint8_t EofChar = 0;
    uint8_t EvtChar = 0;
    uint16_t XonLim = 0;
    uint16_t XoffLim = 0;
    bool fBinary = true;
    bool fParity = false;
    bool fOutxCtsFlow = false;
    bool fOutxDsrFlow = false;
    uint8_t fDtrControl = 1;  // 0 disable, 1 enable, 2 handshake
    bool fDsrSensitivity = false;
    bool fTXContinueOnXoff = false;
    bool fOutX = false;
    bool fInX = false;
    bool fErrorChar = false;
    bool fNull = false;
    uint8_t fRtsControl = 1;  // 0 disable, 1 enable, 2 handshake, 3 toggle
    bool fAbortOnError = false;
};

// The serial driver's handshake record (SERIAL_HANDFLOW).
struct SerialHandflow {
    uint32_t ControlHandShake = 0;
    uint32_t FlowReplace = 0;
    int32_t XonLimit = 0;
    int32_t XoffLimit = 0;
};

// ControlHandShake and FlowReplace bits of the serial driver.
constexpr uint32_t SERIAL_DTR_MASK = 0x03;
constexpr uint32_t SERIAL_DTR_CONTROL = 0x01;
constexpr uint32_t SERIAL_DTR_HANDSHAKE = 0x02;
constexpr uint32_t SERIAL_CTS_HANDSHAKE = 0x08;
constexpr uint32_t SERIAL_DSR_HANDSHAKE = 0x10;
constexpr uint32_t SERIAL_DSR_SENSITIVITY = 0x40;
constexpr uint32_t SERIAL_ERROR_ABORT = 0x80000000;
constexpr uint32_t SERIAL_AUTO_TRANSMIT = 0x01;
constexpr uint32_t SERIAL_AUTO_RECEIVE = 0x02;
constexpr uint32_t SERIAL_ERROR_CHAR = 0x04;
constexpr uint32_t SERIAL_NULL_STRIPPING = 0x08;
constexpr uint32_t SERIAL_RTS_MASK = 0xC0;
constexpr uint32_t SERIAL_RTS_CONTROL = 0x40;
constexpr uint32_t SERIAL_RTS_HANDSHAKE = 0x80;
constexpr uint32_t SERIAL_TRANSMIT_TOGGLE = 0xC0;
constexpr uint32_t SERIAL_XOFF_CONTINUE = 0x80000000;

// COMMTIMEOUTS, in milliseconds.
struct SerialTimeouts {
    uint32_t ReadIntervalTimeout = 0;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;
};

enum class SerialLine { Dtr, Rts };

// What TakeLineErrors reports: the receive errors since its last call and
// the state of the two queues at the call.
struct SerialLineErrors {
    bool overrun = false;  // bytes lost: the receiver or its queue overflowed
    bool parity = false;
    bool framing = false;
    bool breakDetected = false;
    bool dataReady = false;      // received bytes wait to be read
    bool transmitEmpty = false;  // nothing left queued for sending
};

// What ended the reader's wait, highest priority first. Lost: the device
// hung up, vanished or failed; the last error tells how, and no more data
// will come.
enum class ReaderWake { ModemChange, Stop, Data, Lost };

// What ends a port write early besides its completion and the write
// time-outs: the session's stop (the write fails, kErrorOperationAborted);
// the end of the connection the write serves, a socket handle whose peer's
// close or failure fails the write with kErrorGracefulDisconnect (POSIX;
// the Win32 port does not watch the socket); and, for a write that drains
// what a departed client left, a stall (the device took nothing for stallMs,
// POSIX) or an overall limit (limitMs), which end it as a time-out does.
// Every member is optional (0 or null: none).
struct WriteAbort {
    CEvent* stop = nullptr;
    uintptr_t connection = 0;
    uint32_t stallMs = 0;
    uint32_t limitMs = 0;
};

class CSerialPort {
  public:
    virtual ~CSerialPort() = default;

    // The number sent in the open reply (the handle or descriptor value).
    virtual uint32_t HandleValue() const = 0;
    // Empties both queues and ends pending operations (PurgeComm 0x0F).
    virtual void Purge() = 0;

    // Modem control (0x01 DTR, 0x02 RTS) and status (0x10 CTS, 0x20 DSR,
    // 0x40 RI, 0x80 DCD) registers. A failure when the port cannot tell or
    // do it. Every call that can fail reports it as a CStatus.
    virtual CStatus GetModemControl(uint32_t* control) = 0;
    virtual CStatus SetModemControl(uint32_t control) = 0;
    virtual CStatus GetModemStatus(uint32_t* status) = 0;

    // A setting the port rejects fails and leaves the port as it was.
    virtual CStatus GetState(SerialDcb* dcb) = 0;
    virtual CStatus SetState(const SerialDcb& dcb) = 0;
    virtual CStatus SetHandflow(const SerialHandflow& handflow) = 0;
    virtual CStatus GetTimeouts(SerialTimeouts* timeouts) = 0;
    virtual CStatus SetTimeouts(const SerialTimeouts& timeouts) = 0;

    // Writes length bytes and waits until the write has completed, as the
    // write time-outs allow, or until abort ends it; *written is what the
    // port took. A write that fails at once fails without waiting; a write
    // that abort ended fails with the reason (see WriteAbort).
    virtual CStatus Write(const uint8_t* data, uint32_t length, uint32_t* written,
                          const WriteAbort& abort) = 0;
    CStatus Write(const uint8_t* data, uint32_t length, uint32_t* written) {
        return Write(data, length, written, WriteAbort{});
    }

    // Reader: has modemChange set when CTS, DSR or DCD changes (comm-event
    // mask 0x38). Starts a new wait only when the last one has completed.
    // Ports without modem lines never set it.
    virtual void StartModemWait(CEvent& modemChange) = 0;
    // Reader: starts a port read of up to capacity bytes into buffer unless
    // one is pending, then waits with no time limit for modemChange, stop or
    // the read's completion, in that order of priority. Data: *count holds
    // what the completed read delivered (may be 0), copied to buffer; a read
    // still pending keeps its bytes in the port between calls. Lost once the
    // device hung up or a read failed, after any bytes read before it were
    // handed over; *loss then tells how.
    // A capacity above 1024 lets a port hand over several reads of 1024 that
    // completed at once, one behind the other: every block but the last is
    // then full (POSIX; the Windows port reads 1024 at a time).
    virtual ReaderWake WaitForReader(CEvent& modemChange, CEvent& stop, uint8_t* buffer,
                                     uint32_t capacity, uint32_t* count, CStatus* loss) = 0;

    // Wakes every wait on the port and releases the device; later calls fail.
    virtual void Close() = 0;

    // Line control for remote clients that drive one line at a time (session
    // thread). Each fails when the port cannot do it.
    // Raises or lowers DTR or RTS alone.
    virtual CStatus SetModemLine(SerialLine line, bool raised) = 0;
    // Starts (on) or ends a break on the transmit line.
    virtual CStatus SetBreak(bool on) = 0;
    // Empties the receive and/or transmit queue.
    virtual CStatus PurgeQueues(bool receive, bool transmit) = 0;

    // Line errors for remote clients that are told of them. The first call
    // only sets the starting point (errors before it are not reported).
    // Fails when the port cannot tell (a pseudo-terminal has no error
    // counters); such a port is not asked the device again.
    virtual CStatus TakeLineErrors(SerialLineErrors* errors) = 0;
    // Before the reader's first StartModemWait: its modem wait then also ends
    // on a line error or a break, so these are reported without waiting for
    // data (Win32: EV_ERR and EV_BREAK join the comm-event mask). Where
    // errors only come with received bytes (POSIX raw mode) it changes nothing.
    virtual void WakeOnLineErrors() = 0;
};

// Opens the port of that name ("COM3" on Windows, a device path on POSIX)
// for exclusive use. Null, with *status telling why, when it cannot be had
// (no such port, in use, access denied).
std::shared_ptr<CSerialPort> OpenSerialPort(const std::string& name, CStatus* status);

// After OpenSerialPort(name) failed with access denied: who holds the
// device, in a few words for a log line ("held by pid 1234 (picocom)",
// "locked by pid 77 (minicom) in /run/lock/LCK..ttyS0"), or "" when it
// cannot tell (always on Windows). Reads only what the system shows of
// other processes; the last error is left as it was. Any thread.
std::string DescribeSerialHolder(const std::string& name);

// At start: logs a warning, once, when this process cannot see which files
// other processes hold open, so a device another program holds could go
// unnoticed (POSIX, where exclusive use then rests on lock files, flock and
// TIOCEXCL). Nothing on Windows, where an open port is exclusive by itself.
void CheckSerialHolderVisibility();

using SerialPortOpener =
    std::function<std::shared_ptr<CSerialPort>(int portNumber, CStatus* status)>;

// The modem-line changes the reader waits for: EV_CTS | EV_DSR | EV_RLSD.
constexpr uint32_t kCommEventMask = 0x38;
// EV_BREAK | EV_ERR, added by WakeOnLineErrors.
constexpr uint32_t kLineEventMask = 0xC0;
constexpr uint32_t kPurgeAll = 0x0F;

}  // namespace tovl
