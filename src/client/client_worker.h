// The client's worker: serves the configured virtual ports until the
// process ends. Returns 0 at once when no port is configured.
#pragma once

#include <cstdint>

namespace tovl {

uint32_t ClientWorkerThread(void* param);

}  // namespace tovl
