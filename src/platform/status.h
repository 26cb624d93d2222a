// CStatus: how the seam and the server report a failure. It carries the
// error as a Windows error number, whatever the platform (each backend
// translates its system's errors into these in one place: errno through
// WindowsErrorFromErrno on POSIX, GetLastError on Windows), and the
// operation that failed. The default value is success. A plain value: copy
// it, keep it, log it from any thread.
//
// The socket layer keeps its own report, the CBlockingSocketException the
// protocol needs; the Windows-shaped calls that report through a last
// error (the virtual port driver's) keep that.
#pragma once

#include <cstdint>
#include <string>

#include "platform/last_error.h"

namespace tovl {

// Words for the error numbers the programs meet; the number otherwise.
inline std::string ErrorText(uint32_t error) {
    switch (error) {
        case kErrorSuccess:
            return "no error";
        case kErrorFileNotFound:
            return "no such device";
        case kErrorAccessDenied:
            return "access denied";
        case kErrorInvalidHandle:
            return "the port is closed";
        case kErrorNotEnoughMemory:
            return "out of memory";
        case kErrorGenFailure:
            return "device failure";
        case kErrorNotSupported:
            return "not supported by the device";
        case kErrorInvalidParameter:
            return "refused by the device";
        case kErrorOperationAborted:
            return "ended by the session";
        case kErrorDeviceNotConnected:
            return "device not connected";
        case kErrorGracefulDisconnect:
            return "the client left";
        default:
            return "error " + std::to_string(error);
    }
}

class CStatus {
  public:
    CStatus() = default;
    CStatus(uint32_t error, const char* operation) : error_(error), operation_(operation) {}

    bool Ok() const { return error_ == kErrorSuccess; }
    explicit operator bool() const { return Ok(); }
    uint32_t Error() const { return error_; }
    const char* Operation() const { return operation_; }

    // "<operation>: <words> (error <n>)", or "ok".
    std::string ToString() const {
        if (Ok()) return "ok";
        return std::string(operation_) + ": " + ErrorText(error_) + " (error " +
               std::to_string(error_) + ")";
    }

  private:
    uint32_t error_ = kErrorSuccess;
    const char* operation_ = "";  // a string literal
};

}  // namespace tovl
