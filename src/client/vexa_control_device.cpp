// The driver's control calls: buffer layouts, and the byte loops with their
// rules for the driver's "nothing more" errors.
#include "client/vexa_control_device.h"

#include "platform/last_error.h"

namespace tovl {

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

bool CVexaControlDevice::GetLines(uint32_t index, VexaLineState* state) {
    uint8_t buffer[kVexaLineStateSize] = {};
    EncodeU32(index, buffer);
    if (!Call(IOCTL_VEXA_GET_LINES, buffer, sizeof buffer, buffer, sizeof buffer)) return false;
    state->PortIndex = DecodeU32(buffer);
    state->ModemStatus = DecodeU32(buffer + 4);
    state->DtrRts = DecodeU32(buffer + 8);
    return true;
}

bool CVexaControlDevice::SetLines(const VexaLineState& state) {
    uint8_t buffer[kVexaLineStateSize];
    EncodeU32(state.PortIndex, buffer);
    EncodeU32(state.ModemStatus, buffer + 4);
    EncodeU32(state.DtrRts, buffer + 8);
    return Call(IOCTL_VEXA_SET_LINES, buffer, sizeof buffer, nullptr, 0);
}

bool CVexaControlDevice::GetSettings(uint32_t index, VexaPortSettings* settings) {
    VexaPortSettings got;
    if (!IndexCall(IOCTL_VEXA_GET_SETTINGS, index, got.bytes, sizeof got.bytes)) return false;
    *settings = got;
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

}  // namespace tovl
