#include "platform/posix/serial_deadline_posix.h"

#include <limits>

namespace tovl {

using std::chrono::ceil;
using std::chrono::duration_cast;
using std::chrono::milliseconds;

namespace {
constexpr int kLongestPollMs = 1 << 30;
}

SerialClock::time_point DeadlineAfter(SerialClock::time_point now, uint64_t ms) {
    const auto latest = SerialClock::time_point::max();
    // The room left before the clock's end, in whole milliseconds; a clock
    // value below its epoch leaves at least the whole positive range.
    const SerialClock::duration room =
        now.time_since_epoch().count() >= 0 ? latest - now : SerialClock::duration::max();
    const uint64_t roomMs = static_cast<uint64_t>(duration_cast<milliseconds>(room).count());
    if (ms >= roomMs) return latest;
    return now + milliseconds(static_cast<milliseconds::rep>(ms));
}

SerialClock::time_point TotalTimeoutDeadline(SerialClock::time_point now, uint32_t multiplier,
                                             uint32_t count, uint32_t constant) {
    // At most 0xFFFFFFFF * 0xFFFFFFFF + 0xFFFFFFFF = 0xFFFFFFFF00000000:
    // always held by 64 bits.
    const uint64_t total = static_cast<uint64_t>(multiplier) * count + constant;
    if (total == 0) return SerialClock::time_point::max();
    return DeadlineAfter(now, total);
}

int PollMsUntil(SerialClock::time_point now, SerialClock::time_point deadline) {
    if (deadline == SerialClock::time_point::max()) return -1;
    if (deadline <= now) return 0;
    // deadline is the later one: the difference overflows only from a clock
    // value below the epoch, and then it is longer than any poll anyway.
    const auto n = now.time_since_epoch().count();
    const auto d = deadline.time_since_epoch().count();
    if (n < 0 && d > std::numeric_limits<decltype(d)>::max() + n) return kLongestPollMs;
    const auto left = ceil<milliseconds>(deadline - now).count();
    return left >= kLongestPollMs ? kLongestPollMs : static_cast<int>(left);
}

}  // namespace tovl
