#include <cstdio>
#include <ctime>

#include "platform/log.h"

namespace tovl {

std::string LocalTimestamp(int64_t micros) {
    const time_t seconds = static_cast<time_t>(micros / 1000000);
    tm local{};
    localtime_s(&local, &seconds);
    char text[48];
    const size_t n = strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    snprintf(text + n, sizeof text - n, ".%06lld", static_cast<long long>(micros % 1000000));
    return text;
}

// The Windows services log nothing.
void EnableLogTimestamps() {}
void LogLine(LogPriority, const char*, ...) {}

}  // namespace tovl
