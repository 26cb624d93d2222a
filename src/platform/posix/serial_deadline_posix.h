// Deadlines of the port's time-outs on the steady clock. Pure arithmetic;
// every result saturates: a time-out too long for the clock to hold ends at
// Clock::time_point::max(), which the port treats as "no limit", so no
// combination of time-out values and byte counts can overflow.
#pragma once

#include <chrono>
#include <cstdint>

namespace tovl {

using SerialClock = std::chrono::steady_clock;

// now + ms, or time_point::max() when that lies beyond what the clock holds.
SerialClock::time_point DeadlineAfter(SerialClock::time_point now, uint64_t ms);

// The deadline of a total time-out of multiplier x count + constant ms;
// time_point::max() when that is 0 (no total time-out) or too far.
SerialClock::time_point TotalTimeoutDeadline(SerialClock::time_point now, uint32_t multiplier,
                                             uint32_t count, uint32_t constant);

// What poll() may sleep until deadline: milliseconds rounded up (so the
// wake-up finds the deadline passed), 0 once it has passed, at most 2^30;
// -1 (no limit) for time_point::max().
int PollMsUntil(SerialClock::time_point now, SerialClock::time_point deadline);

}  // namespace tovl
