// The port-link protocol spoken between client and server over one TCP
// connection: command codes, the fixed records and their little-endian byte
// images, the modem-line translations, and the read/write helpers each side
// uses with its time-outs. Encoding works byte by byte, so it is right on
// any host byte order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/blocking_socket.h"

namespace tovl {

constexpr uint32_t PL_DATA = 0;
constexpr uint32_t PL_SETTINGS = 1;
constexpr uint32_t PL_OPEN = 2;
constexpr uint32_t PL_FLOW_CONTROL = 5;
constexpr uint32_t PL_CLOSE = 7;

constexpr uint32_t PL_OPEN_FAILED = 0xFFFFFFFF;
constexpr uint32_t PL_DATA_MAX = 1024;

// Line-state mask bits.
constexpr uint32_t PL_LINE_RTS = 0x01;
constexpr uint32_t PL_LINE_CTS = 0x02;
constexpr uint32_t PL_LINE_DTR = 0x04;
constexpr uint32_t PL_LINE_DSR = 0x08;
constexpr uint32_t PL_LINE_RI = 0x10;
constexpr uint32_t PL_LINE_DCD = 0x20;

// Modem status register (as the serial driver reports it) and modem control
// register bits.
constexpr uint32_t kModemStatusCts = 0x10;
constexpr uint32_t kModemStatusDsr = 0x20;
constexpr uint32_t kModemStatusRi = 0x40;
constexpr uint32_t kModemStatusDcd = 0x80;
constexpr uint32_t kModemControlDtr = 0x01;
constexpr uint32_t kModemControlRts = 0x02;

// Time-outs in seconds of the protocol's steps.
constexpr int kFieldTimeout = 10;       // every body field, every client write, server replies
constexpr int kOpenReplyTimeout = 30;   // the client waiting for the open reply
constexpr int kServerSendTimeout = 30;  // the server's data and line reports
constexpr int kNoTimeout = -1;

struct PortLinkSettings {
    uint32_t BaudRate = 0;
    uint8_t ByteSize = 0;
    uint8_t Parity = 0;
    uint8_t StopBits = 0;
    uint8_t XonChar = 0;
    uint8_t XoffChar = 0;
    uint8_t ErrorChar = 0;
    uint8_t EofChar = 0;
    uint8_t EvtChar = 0;
    uint16_t XonLimit = 0;
    uint16_t XoffLimit = 0;
    uint8_t ControlHandShake = 0;
    uint32_t FlowReplace = 0;
};
constexpr size_t kPortLinkSettingsSize = 24;

struct PortLinkTimeouts {
    uint32_t ReadIntervalTimeout = 0;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;
};

void EncodeU32(uint32_t value, uint8_t* out);
uint32_t DecodeU32(const uint8_t* in);
// The padding bytes 17..19 are written as 0 and never read.
void EncodeSettings(const PortLinkSettings& settings, uint8_t* out);
PortLinkSettings DecodeSettings(const uint8_t* in);

// The open reply's line-state mask, from the modem control and status
// registers.
uint32_t ModemRegistersToLineMask(uint32_t modemControl, uint32_t modemStatus);
// The client's view of a server modem-status report: CTS, DSR and DCD.
uint32_t ModemStatusToLineMask(uint32_t modemStatus);
// The modem control register after a client line request: DTR and RTS are
// only ever raised.
uint32_t ApplyLineRequest(uint32_t modemControl, uint32_t lineMask);

// Writes one u32 with its own Write.
void WriteU32(CBlockingSocket& socket, uint32_t value, int seconds);
// Reads one u32 in full with Read. False when the connection failed or
// closed first; socket exceptions pass through.
bool ReadU32(CBlockingSocket& socket, uint32_t* value, int seconds);
// Receives exactly length bytes, one Receive after another. False when the
// connection closed or failed first.
bool ReceiveFull(CBlockingSocket& socket, void* buffer, int length, int seconds);

// The most of one PL_DATA payload a receiver holds at once; a larger payload
// is passed on in pieces of this size.
constexpr uint32_t kPayloadChunk = 64 * 1024;

// Sending a message whole: its code, fields and payload are put together in
// a buffer on the caller's stack and leave in one Write, so a message with
// TCP_NODELAY is one segment rather than one per piece. The wire bytes are
// those of the pieces written one after another.
//
// One message of the code alone (PL_CLOSE).
void SendCodeMessage(CBlockingSocket& socket, uint32_t code, int seconds);
// One message of a code and one u32 (PL_OPEN, PL_FLOW_CONTROL).
void SendU32Message(CBlockingSocket& socket, uint32_t code, uint32_t value, int seconds);
// PL_SETTINGS with its 24-byte record.
void SendSettingsMessage(CBlockingSocket& socket, const PortLinkSettings& settings, int seconds);
// PL_DATA with count bytes (at most PL_DATA_MAX; 0 sends the header alone).
void SendDataMessage(CBlockingSocket& socket, const uint8_t* payload, uint32_t count, int seconds);

// The wire bytes of count port bytes cut into blocks of PL_DATA_MAX, each
// its own PL_DATA (the last block may be shorter): DataMessagesSize(count)
// bytes written to out. Nothing for count 0.
constexpr size_t DataMessagesSize(size_t count) {
    return count + 8 * ((count + PL_DATA_MAX - 1) / PL_DATA_MAX);
}
size_t EncodeDataMessages(const uint8_t* data, size_t count, uint8_t* out);

// Whole messages gathered on the caller's stack and sent together with one
// Write (for example every block already waiting at a port). Messages are
// added in the order they go out; the sender flushes before the batch is
// full and before anything else is written on the socket. One thread.
class CMessageBatch {
  public:
    // Room for eight full PL_DATA messages.
    static constexpr size_t kCapacity = size_t{8} * (8 + PL_DATA_MAX);

    size_t Size() const { return size_; }
    bool Empty() const { return size_ == 0; }
    // Whether a message of that many bytes, header included, still fits.
    bool HasRoom(size_t messageBytes) const { return kCapacity - size_ >= messageBytes; }

    // Where the payload of the next PL_DATA goes (PL_DATA_MAX bytes, needs
    // HasRoom(8 + PL_DATA_MAX)); CommitData then adds the message with the
    // count of bytes put there. Null when there is no room.
    uint8_t* DataSlot();
    void CommitData(uint32_t count);
    void AddCode(uint32_t code);

    // Sends what was gathered in one Write (nothing when empty) and empties
    // the batch; socket exceptions pass through.
    void Flush(CBlockingSocket& socket, int seconds);

  private:
    uint8_t bytes_[kCapacity];
    size_t size_ = 0;
};

}  // namespace tovl
