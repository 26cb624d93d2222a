// Local time to the microsecond for log and trace lines, the same text on
// both platforms; only the thread-safe local-time call differs.
#include <cstdio>
#include <ctime>

#include "platform/log.h"

namespace tovl {

std::string LocalTimestamp(int64_t micros) {
    const time_t seconds = static_cast<time_t>(micros / 1000000);
    tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    char text[48];
    const size_t n = strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    snprintf(text + n, sizeof text - n, ".%06lld", static_cast<long long>(micros % 1000000));
    return text;
}

}  // namespace tovl
