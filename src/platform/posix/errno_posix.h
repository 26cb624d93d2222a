// The POSIX backend's one translation of errno into the Windows error
// numbers that the programs see through GetLastErrorCode. (The socket
// backend reports Windows Sockets numbers, a numbering of its own.)
#pragma once

#include <cstdint>
#include <string>

namespace tovl {

uint32_t WindowsErrorFromErrno(int e);

// The system's text for errno value e, safe to call from any thread.
std::string ErrnoText(int e);

}  // namespace tovl
