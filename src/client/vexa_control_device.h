// The binding of the virtual port functions to the Windows driver's control
// device: each operation is one synchronous control call (data one byte per
// call) with the driver's control codes and buffer layouts.
//
// The device is reached through a VexaDeviceApi (open, control call, close):
// on Windows "\\.\VexaControl" and DeviceIoControl; tests put a recorder in
// its place. Every operation opens the device, makes one call and closes it
// again, keeping the call's last error across the close. The binding keeps
// no state, so any thread may use it at any time.
#pragma once

#include <cstdint>
#include <functional>

#include "client/vexa_driver.h"

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
    bool GetLines(uint32_t index, VexaLineState* state) override;
    bool SetLines(const VexaLineState& state) override;
    bool GetSettings(uint32_t index, VexaPortSettings* settings) override;
    bool CheckPort(uint32_t index) override;
    bool GetOpenState(uint32_t index, uint32_t* state) override;
    bool GetPending(uint32_t index, uint32_t* pending) override;
    bool SetStatus(uint32_t index, uint32_t status) override;

  private:
    // Open, one control call, close; the call's last error survives the close.
    bool Call(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize);
    bool IndexCall(uint32_t code, uint32_t index, void* out, uint32_t outSize);

    VexaDeviceApi api_;
};

}  // namespace tovl
