// The driver's control device of Windows: opened per call with full access
// and shared reading and writing, one synchronous DeviceIoControl.
#include <windows.h>

#include "client/win32/vexa_control_device.h"

namespace tovl {

VexaDeviceApi VexaSystemDeviceApi() {
    VexaDeviceApi api;
    api.open = []() -> uintptr_t {
        HANDLE device =
            CreateFileA("\\\\.\\VexaControl", GENERIC_ALL, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, 0, nullptr);
        return device == INVALID_HANDLE_VALUE ? 0 : reinterpret_cast<uintptr_t>(device);
    };
    api.control = [](uintptr_t device, uint32_t code, const void* in, uint32_t inSize, void* out,
                     uint32_t outSize) {
        DWORD returned = 0;
        return DeviceIoControl(reinterpret_cast<HANDLE>(device), code, const_cast<void*>(in),
                               inSize, out, outSize, &returned, nullptr) != FALSE;
    };
    api.close = [](uintptr_t device) { CloseHandle(reinterpret_cast<HANDLE>(device)); };
    return api;
}

}  // namespace tovl
