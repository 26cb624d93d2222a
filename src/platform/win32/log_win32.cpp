#include "platform/log.h"

namespace tovl {

// The Windows services log nothing.
void LogLine(LogPriority, const char*, ...) {}

}  // namespace tovl
