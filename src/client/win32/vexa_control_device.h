// The binding of the virtual port functions to the Windows driver's control
// device: each operation is one synchronous control call (data one byte per
// call) with the driver's control codes and buffer layouts. This is the one
// place that knows those layouts (the 12-byte line record with its port
// index, the 44-byte settings record) and the names of the ports' events.
//
// The device is reached through a VexaDeviceApi (open, control call, close):
// on Windows "\\.\VexaControl" and DeviceIoControl; tests put a recorder in
// its place. Every operation opens the device, makes one call and closes it
// again, keeping the call's last error across the close. The binding keeps
// no state, so any thread may use it at any time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "client/win32/vexa_driver.h"

namespace tovl {

constexpr uint32_t IOCTL_VEXA_SET_LINES = 0x830020CC;
constexpr uint32_t IOCTL_VEXA_GET_LINES = 0x830020D0;
constexpr uint32_t IOCTL_VEXA_GET_SETTINGS = 0x830020D4;
constexpr uint32_t IOCTL_VEXA_READ_BYTE = 0x830020D8;
constexpr uint32_t IOCTL_VEXA_WRITE_BYTE = 0x830020DC;
constexpr uint32_t IOCTL_VEXA_CHECK_PORT = 0x830020E0;
constexpr uint32_t IOCTL_VEXA_GET_OPEN_STATE = 0x830020E4;
constexpr uint32_t IOCTL_VEXA_GET_PENDING = 0x830020E8;
constexpr uint32_t IOCTL_VEXA_SET_STATUS = 0x830020EC;

// The driver's record of the lines of one port.
struct VexaLineState {
    uint32_t PortIndex = 0;
    uint32_t ModemStatus = 0;  // inputs: 0x10 CTS, 0x20 DSR, 0x40 RI, 0x80 DCD
    uint32_t DtrRts = 0;       // outputs: bit 0 DTR, bit 1 RTS
};
constexpr uint32_t kVexaLineStateSize = 12;
constexpr uint32_t kVexaPortSettingsSize = 44;

// The port's settings as the driver keeps them (44 bytes, the fields the
// client reads at their offsets).
struct VexaPortSettings {
    uint8_t bytes[kVexaPortSettingsSize] = {};
};

// Translations between the driver's line record and the line-state mask.
uint32_t VexaLineStateToMask(const VexaLineState& state);
VexaLineState VexaMaskToLineState(uint32_t portIndex, uint32_t mask);
// The fields of the driver's settings that travel in PL_SETTINGS.
PortLinkSettings VexaSettingsToPortLink(const VexaPortSettings& settings);

// The name of one of port n's events (n 1-based), as the driver makes them;
// a provider that stands in for the driver names its events the same.
std::string VexaEventName(uint32_t n, VexaPortEvent which);

// The three device operations. open returns 0 (last error set) on failure;
// control returns false with the driver's last error.
struct VexaDeviceApi {
    std::function<uintptr_t()> open;
    std::function<bool(uintptr_t device, uint32_t code, const void* in, uint32_t inSize, void* out,
                       uint32_t outSize)>
        control;
    std::function<void(uintptr_t device)> close;
};

// The driver's real control device (Windows builds only).
VexaDeviceApi VexaSystemDeviceApi();

class CVexaControlDevice final : public CVexaBinding {
  public:
    explicit CVexaControlDevice(VexaDeviceApi api) : api_(std::move(api)) {}

    bool ReadData(uint32_t index, uint8_t* buffer, uint32_t size, uint32_t* count) override;
    bool WriteData(uint32_t index, const uint8_t* data, uint32_t size, uint32_t* count) override;
    bool GetLines(uint32_t index, uint32_t* mask) override;
    bool SetLines(uint32_t index, uint32_t mask) override;
    bool GetSettings(uint32_t index, PortLinkSettings* settings) override;
    bool CheckPort(uint32_t index) override;
    bool GetOpenState(uint32_t index, uint32_t* state) override;
    bool GetPending(uint32_t index, uint32_t* pending) override;
    bool SetStatus(uint32_t index, uint32_t status) override;
    bool OpenEvent(uint32_t index, VexaPortEvent which, CEvent* event) override;

  private:
    // Open, one control call, close; the call's last error survives the close.
    bool Call(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize);
    bool IndexCall(uint32_t code, uint32_t index, void* out, uint32_t outSize);

    VexaDeviceApi api_;
};

}  // namespace tovl
