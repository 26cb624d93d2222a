#include "platform/posix/errno_posix.h"

#include <cerrno>
#include <cstring>

#include "platform/last_error.h"

namespace tovl {

std::string ErrnoText(int e) {
    char buffer[128];
    // The GNU strerror_r returns the text, in buffer or in static storage.
    return strerror_r(e, buffer, sizeof buffer);
}

uint32_t WindowsErrorFromErrno(int e) {
    switch (e) {
        case 0:
            return kErrorSuccess;
        case ENOENT:
        case ENXIO:
        case ENODEV:
        case ENOTDIR:
            return kErrorFileNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
        case EBUSY:
        case EWOULDBLOCK:
            return kErrorAccessDenied;
        case EBADF:
            return kErrorInvalidHandle;
        case ENOMEM:
            return kErrorNotEnoughMemory;
        case EINVAL:
            return kErrorInvalidParameter;
        case ENOTTY:
        case ENOSYS:
        case EOPNOTSUPP:
            return kErrorNotSupported;
        default:
            return kErrorGenFailure;
    }
}

}  // namespace tovl
