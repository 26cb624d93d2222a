#include "platform/posix/serial_read_posix.h"

#include <algorithm>
#include <cstring>

#include "platform/posix/serial_deadline_posix.h"

namespace tovl {

void CPendingRead::Start(const SerialTimeouts& t, uint32_t capacity, Clock::time_point now) {
    pending_ = true;
    got_ = 0;
    want_ = std::min(capacity, kMaxCount);
    intervalMs_ = 0;
    totalLimited_ = false;
    const uint32_t interval = t.ReadIntervalTimeout;
    const uint32_t mult = t.ReadTotalTimeoutMultiplier;
    const uint32_t constant = t.ReadTotalTimeoutConstant;
    if (interval == kMaxDword && mult == 0 && constant == 0) {
        mode_ = Mode::WhatIsThere;
    } else if (interval == kMaxDword && mult == kMaxDword && constant != 0 &&
               constant != kMaxDword) {
        mode_ = Mode::FirstOrConstant;
        totalLimited_ = true;
        totalDeadline_ = DeadlineAfter(now, constant);
    } else if (interval == 0 && mult == 0 && constant == 0) {
        mode_ = Mode::Full;
    } else {
        mode_ = Mode::Timed;
        intervalMs_ = interval == kMaxDword ? 0 : interval;
        totalDeadline_ = TotalTimeoutDeadline(now, mult, want_, constant);
        totalLimited_ = totalDeadline_ != Clock::time_point::max();
    }
}

void CPendingRead::Add(uint32_t n, Clock::time_point now) {
    got_ += n;
    lastByte_ = now;
}

bool CPendingRead::Complete(Clock::time_point now) const {
    if (!pending_) return false;
    if (got_ >= want_) return true;
    switch (mode_) {
        case Mode::WhatIsThere:
            return got_ > 0;
        case Mode::FirstOrConstant:
            return got_ > 0 || now >= totalDeadline_;
        case Mode::Full:
            return false;
        case Mode::Timed:
            if (totalLimited_ && now >= totalDeadline_) return true;
            return got_ > 0 && intervalMs_ != 0 && now >= DeadlineAfter(lastByte_, intervalMs_);
    }
    return false;
}

int CPendingRead::WaitMs(Clock::time_point now) const {
    Clock::time_point wake = Clock::time_point::max();
    if (totalLimited_) wake = totalDeadline_;
    if (mode_ == Mode::Timed && got_ > 0 && intervalMs_ != 0)
        wake = std::min(wake, DeadlineAfter(lastByte_, intervalMs_));
    return PollMsUntil(now, wake);
}

uint32_t CPendingRead::Take(uint8_t* out) {
    memcpy(out, data_, got_);
    pending_ = false;
    const uint32_t n = got_;
    got_ = 0;
    return n;
}

}  // namespace tovl
