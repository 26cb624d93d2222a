#include "net/port_link.h"

#include <algorithm>
#include <cstring>

namespace tovl {

void EncodeU32(uint32_t value, uint8_t* out) {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
    out[2] = static_cast<uint8_t>(value >> 16);
    out[3] = static_cast<uint8_t>(value >> 24);
}

uint32_t DecodeU32(const uint8_t* in) {
    return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 |
           static_cast<uint32_t>(in[2]) << 16 | static_cast<uint32_t>(in[3]) << 24;
}

void EncodeSettings(const PortLinkSettings& s, uint8_t* out) {
    EncodeU32(s.BaudRate, out);
    out[4] = s.ByteSize;
    out[5] = s.Parity;
    out[6] = s.StopBits;
    out[7] = s.XonChar;
    out[8] = s.XoffChar;
    out[9] = s.ErrorChar;
    out[10] = s.EofChar;
    out[11] = s.EvtChar;
    out[12] = static_cast<uint8_t>(s.XonLimit);
    out[13] = static_cast<uint8_t>(s.XonLimit >> 8);
    out[14] = static_cast<uint8_t>(s.XoffLimit);
    out[15] = static_cast<uint8_t>(s.XoffLimit >> 8);
    out[16] = s.ControlHandShake;
    out[17] = out[18] = out[19] = 0;
    EncodeU32(s.FlowReplace, out + 20);
}

PortLinkSettings DecodeSettings(const uint8_t* in) {
    PortLinkSettings s;
    s.BaudRate = DecodeU32(in);
    s.ByteSize = in[4];
    s.Parity = in[5];
    s.StopBits = in[6];
    s.XonChar = in[7];
    s.XoffChar = in[8];
    s.ErrorChar = in[9];
    s.EofChar = in[10];
    s.EvtChar = in[11];
    s.XonLimit = static_cast<uint16_t>(in[12] | in[13] << 8);
    s.XoffLimit = static_cast<uint16_t>(in[14] | in[15] << 8);
    s.ControlHandShake = in[16];
    s.FlowReplace = DecodeU32(in + 20);
    return s;
}

uint32_t ModemRegistersToLineMask(uint32_t modemControl, uint32_t modemStatus) {
    uint32_t mask = 0;
    if (modemControl & kModemControlDtr) mask |= PL_LINE_DTR;
    if (modemControl & kModemControlRts) mask |= PL_LINE_RTS;
    if (modemStatus & kModemStatusCts) mask |= PL_LINE_CTS;
    if (modemStatus & kModemStatusDsr) mask |= PL_LINE_DSR;
    if (modemStatus & kModemStatusRi) mask |= PL_LINE_RI;
    if (modemStatus & kModemStatusDcd) mask |= PL_LINE_DCD;
    return mask;
}

uint32_t ModemStatusToLineMask(uint32_t modemStatus) {
    uint32_t mask = 0;
    if (modemStatus & kModemStatusDsr) mask |= PL_LINE_DSR;
    if (modemStatus & kModemStatusCts) mask |= PL_LINE_CTS;
    if (modemStatus & kModemStatusDcd) mask |= PL_LINE_DCD;
    return mask;
}

uint32_t ApplyLineRequest(uint32_t modemControl, uint32_t lineMask) {
    if (lineMask & PL_LINE_DTR) modemControl |= kModemControlDtr;
    if (lineMask & PL_LINE_RTS) modemControl |= kModemControlRts;
    return modemControl;
}

void WriteU32(CBlockingSocket& socket, uint32_t value, int seconds) {
    uint8_t bytes[4];
    EncodeU32(value, bytes);
    socket.Write(bytes, 4, seconds);
}

bool ReadU32(CBlockingSocket& socket, uint32_t* value, int seconds) {
    uint8_t bytes[4];
    if (socket.Read(bytes, 4, seconds) != 4) return false;
    *value = DecodeU32(bytes);
    return true;
}

bool ReceiveFull(CBlockingSocket& socket, void* buffer, int length, int seconds) {
    char* bytes = static_cast<char*>(buffer);
    int done = 0;
    while (done < length) {
        int got = socket.Receive(bytes + done, length - done, seconds);
        if (got <= 0) return false;
        done += got;
    }
    return true;
}

void SendCodeMessage(CBlockingSocket& socket, uint32_t code, int seconds) {
    WriteU32(socket, code, seconds);
}

void SendU32Message(CBlockingSocket& socket, uint32_t code, uint32_t value, int seconds) {
    uint8_t message[8];
    EncodeU32(code, message);
    EncodeU32(value, message + 4);
    socket.Write(message, sizeof message, seconds);
}

void SendSettingsMessage(CBlockingSocket& socket, const PortLinkSettings& settings, int seconds) {
    uint8_t message[4 + kPortLinkSettingsSize];
    EncodeU32(PL_SETTINGS, message);
    EncodeSettings(settings, message + 4);
    socket.Write(message, sizeof message, seconds);
}

void SendDataMessage(CBlockingSocket& socket, const uint8_t* payload, uint32_t count, int seconds) {
    uint8_t message[8 + PL_DATA_MAX];
    count = std::min(count, PL_DATA_MAX);
    EncodeU32(PL_DATA, message);
    EncodeU32(count, message + 4);
    if (count != 0) std::memcpy(message + 8, payload, count);
    socket.Write(message, static_cast<int>(8 + count), seconds);
}

size_t EncodeDataMessages(const uint8_t* data, size_t count, uint8_t* out) {
    uint8_t* at = out;
    for (size_t done = 0; done < count;) {
        const uint32_t block = static_cast<uint32_t>(std::min<size_t>(count - done, PL_DATA_MAX));
        EncodeU32(PL_DATA, at);
        EncodeU32(block, at + 4);
        std::memcpy(at + 8, data + done, block);
        at += 8 + block;
        done += block;
    }
    return static_cast<size_t>(at - out);
}

uint8_t* CMessageBatch::DataSlot() {
    return HasRoom(8 + PL_DATA_MAX) ? bytes_ + size_ + 8 : nullptr;
}

void CMessageBatch::CommitData(uint32_t count) {
    EncodeU32(PL_DATA, bytes_ + size_);
    EncodeU32(count, bytes_ + size_ + 4);
    size_ += 8 + count;
}

void CMessageBatch::AddCode(uint32_t code) {
    EncodeU32(code, bytes_ + size_);
    size_ += 4;
}

void CMessageBatch::Flush(CBlockingSocket& socket, int seconds) {
    if (size_ == 0) return;
    const int size = static_cast<int>(size_);
    size_ = 0;
    socket.Write(bytes_, size, seconds);
}

}  // namespace tovl
