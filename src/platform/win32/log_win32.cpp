#include "platform/log.h"

namespace tovl {

// The Windows services log nothing.
void EnableLogTimestamps() {}
void LogLine(LogPriority, const char*, ...) {}

}  // namespace tovl
