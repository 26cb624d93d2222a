// The driver's control calls: buffer layouts, and the byte loops with their
// rules for the driver's "nothing more" errors.
#include "client/win32/vexa_control_device.h"

#include <cstdio>

#include "platform/last_error.h"
#include "platform/win32/named_event_win32.h"

namespace tovl {

uint32_t VexaLineStateToMask(const VexaLineState& s) {
    uint32_t mask = 0;
    if (s.DtrRts & 0x01) mask |= PL_LINE_DTR;
    if (s.DtrRts & 0x02) mask |= PL_LINE_RTS;
    if (s.ModemStatus & kModemStatusCts) mask |= PL_LINE_CTS;
    if (s.ModemStatus & kModemStatusDsr) mask |= PL_LINE_DSR;
    if (s.ModemStatus & kModemStatusRi) mask |= PL_LINE_RI;
    if (s.ModemStatus & kModemStatusDcd) mask |= PL_LINE_DCD;
    return mask;
}

VexaLineState VexaMaskToLineState(uint32_t portIndex, uint32_t mask) {
    VexaLineState s;
    s.PortIndex = portIndex;
    if (mask & PL_LINE_DTR) s.DtrRts |= 0x01;
    if (mask & PL_LINE_RTS) s.DtrRts |= 0x02;
    if (mask & PL_LINE_CTS) s.ModemStatus |= kModemStatusCts;
    if (mask & PL_LINE_DSR) s.ModemStatus |= kModemStatusDsr;
    if (mask & PL_LINE_RI) s.ModemStatus |= kModemStatusRi;
    if (mask & PL_LINE_DCD) s.ModemStatus |= kModemStatusDcd;
    return s;
}

PortLinkSettings VexaSettingsToPortLink(const VexaPortSettings& settings) {
    const uint8_t* b = settings.bytes;
    PortLinkSettings s;
    s.BaudRate = DecodeU32(b + 8);
    s.EofChar = b[12];
    s.ErrorChar = b[13];
    s.EvtChar = b[15];
    s.XonChar = b[16];
    s.XoffChar = b[17];
    s.ByteSize = b[18];
    s.StopBits = b[19];
    s.Parity = b[20];
    s.ControlHandShake = static_cast<uint8_t>(DecodeU32(b + 24) & 0xFF);
    s.FlowReplace = DecodeU32(b + 28) & 0xFF;
    s.XonLimit = static_cast<uint16_t>(DecodeU32(b + 32) & 0xFFFF);
    s.XoffLimit = static_cast<uint16_t>(DecodeU32(b + 36) & 0xFFFF);
    return s;
}

std::string VexaEventName(uint32_t n, VexaPortEvent which) {
    const char* base = "vexaPortData";
    switch (which) {
        case VexaPortEvent::Data:
            break;
        case VexaPortEvent::Settings:
            base = "vexaPortSettings";
            break;
        case VexaPortEvent::FlowControl:
            base = "vexaPortFlowControl";
            break;
        case VexaPortEvent::Opened:
            base = "vexaPortOpened";
            break;
    }
    char name[48];
    snprintf(name, sizeof name, "%s%u", base, static_cast<unsigned>(n));
    return name;
}

bool CVexaControlDevice::Call(uint32_t code, const void* in, uint32_t inSize, void* out,
                              uint32_t outSize) {
    const uintptr_t device = api_.open();
    if (device == 0) return false;
    const bool ok = api_.control(device, code, in, inSize, out, outSize);
    const uint32_t error = GetLastErrorCode();
    api_.close(device);
    SetLastErrorCode(error);
    return ok;
}

bool CVexaControlDevice::IndexCall(uint32_t code, uint32_t index, void* out, uint32_t outSize) {
    uint8_t in[4];
    EncodeU32(index, in);
    return Call(code, in, sizeof in, out, outSize);
}

bool CVexaControlDevice::ReadData(uint32_t index, uint8_t* buffer, uint32_t size, uint32_t* count) {
    *count = 0;
    for (uint32_t i = 0; i < size; ++i) {
        uint8_t byte = 0;
        if (!IndexCall(IOCTL_VEXA_READ_BYTE, index, &byte, 1)) {
            if (i == 0) return false;
            if (GetLastErrorCode() == kErrorNoMoreItems) SetLastErrorCode(kErrorSuccess);
            *count = i;
            return true;
        }
        buffer[i] = byte;
    }
    *count = size;
    return true;
}

bool CVexaControlDevice::WriteData(uint32_t index, const uint8_t* data, uint32_t size,
                                   uint32_t* count) {
    *count = 0;
    for (uint32_t i = 0; i < size; ++i) {
        const uint8_t in[4] = {static_cast<uint8_t>(index & 0xFF), 0, 0, data[i]};
        if (!Call(IOCTL_VEXA_WRITE_BYTE, in, sizeof in, nullptr, 0)) {
            if (i == 0) return false;
            if (GetLastErrorCode() == kErrorMoreData) SetLastErrorCode(kErrorSuccess);
            *count = i;
            return true;
        }
    }
    *count = size;
    return true;
}

bool CVexaControlDevice::GetLines(uint32_t index, uint32_t* mask) {
    uint8_t buffer[kVexaLineStateSize] = {};
    EncodeU32(index, buffer);
    if (!Call(IOCTL_VEXA_GET_LINES, buffer, sizeof buffer, buffer, sizeof buffer)) return false;
    VexaLineState state;
    state.PortIndex = DecodeU32(buffer);
    state.ModemStatus = DecodeU32(buffer + 4);
    state.DtrRts = DecodeU32(buffer + 8);
    *mask = VexaLineStateToMask(state);
    return true;
}

bool CVexaControlDevice::SetLines(uint32_t index, uint32_t mask) {
    const VexaLineState state = VexaMaskToLineState(index, mask);
    uint8_t buffer[kVexaLineStateSize];
    EncodeU32(state.PortIndex, buffer);
    EncodeU32(state.ModemStatus, buffer + 4);
    EncodeU32(state.DtrRts, buffer + 8);
    return Call(IOCTL_VEXA_SET_LINES, buffer, sizeof buffer, nullptr, 0);
}

bool CVexaControlDevice::GetSettings(uint32_t index, PortLinkSettings* settings) {
    VexaPortSettings got;
    if (!IndexCall(IOCTL_VEXA_GET_SETTINGS, index, got.bytes, sizeof got.bytes)) return false;
    *settings = VexaSettingsToPortLink(got);
    return true;
}

bool CVexaControlDevice::CheckPort(uint32_t index) {
    return IndexCall(IOCTL_VEXA_CHECK_PORT, index, nullptr, 0);
}

bool CVexaControlDevice::GetOpenState(uint32_t index, uint32_t* state) {
    uint8_t out[4] = {};
    if (!IndexCall(IOCTL_VEXA_GET_OPEN_STATE, index, out, sizeof out)) return false;
    *state = DecodeU32(out);
    return true;
}

bool CVexaControlDevice::GetPending(uint32_t index, uint32_t* pending) {
    uint8_t out[4] = {};
    if (!IndexCall(IOCTL_VEXA_GET_PENDING, index, out, sizeof out)) return false;
    *pending = DecodeU32(out);
    return true;
}

bool CVexaControlDevice::SetStatus(uint32_t index, uint32_t status) {
    uint8_t in[8];
    EncodeU32(index, in);
    EncodeU32(status, in + 4);
    return Call(IOCTL_VEXA_SET_STATUS, in, sizeof in, nullptr, 0);
}

bool CVexaControlDevice::OpenEvent(uint32_t index, VexaPortEvent which, CEvent* event) {
    *event = OpenNamedEvent(VexaEventName(index + 1, which).c_str());
    return event->IsValid();
}

}  // namespace tovl
