// The Com Port Control side of an RFC 2217 session: carries out the client's
// commands on the real port through the serial seam, in order with the data
// between them, and builds the server's answers (code + 100, the value in
// effect read back from the port), its modem-state notices and its
// line-state notices.
//
// One object per session, shared by the session thread (Apply, Handle) and the port
// reader (ModemStateNotice, Suspended); the masks and the suspension are
// atomics, everything else belongs to the session thread, except the
// reader's last-notified modem state and the line state, which either thread
// reaches through LineStateNotice under its own lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/serial_port.h"
#include "server/rfc2217_codec.h"

namespace tovl {

// Client command codes; the server answers with code + kServerCodeOffset.
namespace cpc {
inline constexpr uint8_t kSignature = 0;
inline constexpr uint8_t kSetBaudRate = 1;
inline constexpr uint8_t kSetDataSize = 2;
inline constexpr uint8_t kSetParity = 3;
inline constexpr uint8_t kSetStopSize = 4;
inline constexpr uint8_t kSetControl = 5;
inline constexpr uint8_t kNotifyLineState = 6;
inline constexpr uint8_t kNotifyModemState = 7;
inline constexpr uint8_t kFlowControlSuspend = 8;
inline constexpr uint8_t kFlowControlResume = 9;
inline constexpr uint8_t kSetLineStateMask = 10;
inline constexpr uint8_t kSetModemStateMask = 11;
inline constexpr uint8_t kPurgeData = 12;
inline constexpr uint8_t kServerCodeOffset = 100;
}  // namespace cpc

// Line-state bits of NOTIFY-LINESTATE and SET-LINESTATE-MASK.
namespace linestate {
inline constexpr uint8_t kTimeout = 0x80;
inline constexpr uint8_t kShiftRegisterEmpty = 0x40;
inline constexpr uint8_t kHoldingRegisterEmpty = 0x20;
inline constexpr uint8_t kBreakDetect = 0x10;
inline constexpr uint8_t kFraming = 0x08;
inline constexpr uint8_t kParity = 0x04;
inline constexpr uint8_t kOverrun = 0x02;
inline constexpr uint8_t kDataReady = 0x01;
inline constexpr uint8_t kErrors = kBreakDetect | kFraming | kParity | kOverrun;
}  // namespace linestate

// The line-state bits for what the port reported. A port tells whether its
// queue is empty, not its shift register: only the holding-register bit.
uint8_t LineStateBits(const SerialLineErrors& errors);

class CComPortControl {
  public:
    // Takes DTR and RTS as the port reports them (both raised when it cannot tell).
    explicit CComPortControl(CSerialPort& port);

    // Writes each data run to the port and carries out each command, one
    // after the other in the order given: a command takes effect only once
    // the data in front of it has been written. Answers go to toNet. The
    // data goes through write when one is given, else straight to the port.
    using DataWriter = std::function<void(const uint8_t* data, uint32_t size)>;
    void Apply(const std::vector<TelnetItem>& items, std::vector<uint8_t>* toNet,
               const DataWriter& write = {});

    // Carries out one command and appends its answer to toNet. Unknown
    // commands are ignored.
    void Handle(const ComPortRequest& request, std::vector<uint8_t>* toNet);

    // Reader: the notice for a modem status register value (0x10 CTS, 0x20
    // DSR, 0x40 RI, 0x80 DCD), with the delta bits against the last notice,
    // cut to the mask. False when no line in the mask changed, unless force.
    bool ModemStateNotice(uint32_t status, bool force, std::vector<uint8_t>* toNet);

    // Reader or session thread: takes the port's line errors and appends a
    // NOTIFY-LINESTATE when the value cut to the mask is not 0 and holds a new
    // error or a changed data-ready/transmit-empty state. False when nothing
    // was appended (always, on a port that cannot tell line errors).
    bool LineStateNotice(std::vector<uint8_t>* toNet);

    // True between FLOWCONTROL-SUSPEND and FLOWCONTROL-RESUME.
    bool Suspended() const { return suspended_; }

  private:
    uint32_t SetBaudRate(uint32_t wanted);
    uint8_t SetDataSize(uint8_t wanted);
    uint8_t SetParity(uint8_t wanted);
    uint8_t SetStopSize(uint8_t wanted);
    uint8_t SetControl(uint8_t wanted);
    uint8_t OutboundFlow(const SerialDcb& dcb) const;
    uint8_t InboundFlow(const SerialDcb& dcb) const;
    // XON/XOFF and the RTS handshake of the inbound flow; RTS returns to its
    // last set level when the handshake ends.
    void SetInboundFlow(bool xon, bool hardware, SerialDcb* dcb) const;
    // Applies change to the port's DCB; the DCB in effect afterwards.
    template <typename Change>
    SerialDcb ChangeState(Change change);

    CSerialPort& port_;
    bool dtr_ = true;
    bool rts_ = true;
    bool break_ = false;
    std::atomic<bool> suspended_{false};
    std::atomic<uint8_t> lineStateMask_{0};
    std::atomic<uint8_t> modemStateMask_{0xFF};
    uint8_t notified_ = 0;  // reader only
    // The line state, both threads.
    uint8_t TakeLineState(bool* news);
    std::mutex lineLock_;
    bool lineErrorsKnown_ = false;
    uint8_t lineStates_ = 0;  // data-ready and transmit-empty bits last taken
};

}  // namespace tovl
