// The port's time-out arithmetic at its extremes: every combination of the
// five time-outs and any byte count gives a deadline that is not in the
// past, and a wait poll() can take. Run under the undefined-behaviour
// checker, an overflow anywhere here fails the build's sanitizer preset.
#include "platform/posix/serial_deadline_posix.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>

#include "platform/posix/serial_read_posix.h"

using namespace tovl;
using namespace std::chrono_literals;

namespace {

constexpr uint32_t kMax = 0xFFFFFFFF;
constexpr uint32_t kValues[] = {0, 1, 1000, 0xFFFFFFFE, kMax};

// The clock as it runs, and near the end of what it can hold.
const SerialClock::time_point kNows[] = {SerialClock::now(), SerialClock::time_point::max() - 1h,
                                         SerialClock::time_point::max() - 1ns};

TEST(SerialDeadlineTest, DeadlinesSaturateInsteadOfOverflowing) {
    const auto now = SerialClock::now();
    EXPECT_EQ(DeadlineAfter(now, 0), now);
    EXPECT_EQ(DeadlineAfter(now, 1500), now + 1500ms);
    EXPECT_EQ(DeadlineAfter(now, UINT64_MAX), SerialClock::time_point::max());
    EXPECT_EQ(DeadlineAfter(SerialClock::time_point::max() - 1h, 3'600'001),
              SerialClock::time_point::max());
    // WriteTotalTimeoutMultiplier 0xFFFFFFFF for a 4096-byte write: far
    // beyond the clock's nanoseconds, so no limit at all.
    EXPECT_EQ(TotalTimeoutDeadline(now, kMax, 4096, 0), SerialClock::time_point::max());
    EXPECT_EQ(TotalTimeoutDeadline(now, kMax, kMax, kMax), SerialClock::time_point::max());
    EXPECT_EQ(TotalTimeoutDeadline(now, 0, kMax, 0), SerialClock::time_point::max());  // none
    EXPECT_EQ(TotalTimeoutDeadline(now, 2, 10, 5), now + 25ms);

    EXPECT_EQ(PollMsUntil(now, SerialClock::time_point::max()), -1);
    EXPECT_EQ(PollMsUntil(now, now - 1s), 0);
    EXPECT_EQ(PollMsUntil(now, now + 1ns), 1);  // rounded up
    EXPECT_EQ(PollMsUntil(now, now + 24h * 365 * 100), 1 << 30);
    EXPECT_EQ(PollMsUntil(SerialClock::time_point::min(), SerialClock::time_point::max() - 1ns),
              1 << 30);
    for (uint32_t mult : kValues)
        for (uint32_t count : kValues)
            for (uint32_t constant : kValues)
                for (const auto& at : kNows) {
                    const auto deadline = TotalTimeoutDeadline(at, mult, count, constant);
                    EXPECT_GE(deadline, at);
                    const int ms = PollMsUntil(at, deadline);
                    EXPECT_GE(ms, -1);
                    EXPECT_LE(ms, 1 << 30);
                }
}

TEST(SerialDeadlineTest, AReadJustStartedIsNeverCompleteWhateverItsTimeouts) {
    CPendingRead read;
    uint8_t scratch[CPendingRead::kMaxCount];
    for (uint32_t interval : kValues)
        for (uint32_t mult : kValues)
            for (uint32_t constant : kValues)
                for (uint32_t capacity : {1u, 1024u, kMax})
                    for (const auto& at : kNows) {
                        SerialTimeouts t;
                        t.ReadIntervalTimeout = interval;
                        t.ReadTotalTimeoutMultiplier = mult;
                        t.ReadTotalTimeoutConstant = constant;
                        read.Start(t, capacity, at);
                        ASSERT_FALSE(read.Complete(at))
                            << interval << " " << mult << " " << constant << " " << capacity;
                        const int ms = read.WaitMs(at);
                        EXPECT_TRUE(ms == -1 || (ms >= 1 && ms <= (1 << 30)));
                        // A byte arriving: the interval's deadline is sane too.
                        read.Add(1, at);
                        EXPECT_GE(read.WaitMs(at), -1);
                        read.Take(scratch);
                    }
}

}  // namespace
