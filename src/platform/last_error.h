// The calling thread's last error, in Windows numbering on both platforms.
// Portable code reads and sets failures through these; the POSIX backend
// keeps a thread-local value, the Win32 backend uses the thread's own.
#pragma once

#include <cstdint>

namespace tovl {

constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorGenFailure = 31;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kErrorNoMoreItems = 259;
constexpr uint32_t kErrorOperationAborted = 995;
constexpr uint32_t kErrorIoPending = 997;
constexpr uint32_t kErrorDeviceNotConnected = 1167;
constexpr uint32_t kErrorGracefulDisconnect = 1226;
constexpr uint32_t kErrorServiceExists = 1073;
constexpr uint32_t kErrorServiceDoesNotExist = 1060;

uint32_t GetLastErrorCode();
void SetLastErrorCode(uint32_t code);

}  // namespace tovl
