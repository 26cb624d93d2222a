// One port read as the Windows serial driver times it, kept by the POSIX
// reader while it polls: the COMMTIMEOUTS read rules decide when the read
// is complete. Pure logic on a clock value; no descriptor is touched.
//
//  - all zero: complete when the full count has arrived;
//  - interval MAXDWORD, both totals 0: complete with what is there (the
//    reader waits for readiness first, so an idle port costs nothing);
//  - interval and multiplier MAXDWORD, constant below MAXDWORD: complete at
//    the first bytes or when the constant has run out;
//  - otherwise: the total time-out (multiplier x count + constant) and the
//    interval time-out between two bytes, each 0 for none.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/serial_port.h"

namespace tovl {

class CPendingRead {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr uint32_t kMaxDword = 0xFFFFFFFF;
    static constexpr uint32_t kMaxCount = 1024;

    void Start(const SerialTimeouts& t, uint32_t capacity, Clock::time_point now);
    bool Pending() const { return pending_; }
    uint8_t* Space() { return data_ + got_; }
    uint32_t SpaceLeft() const { return want_ - got_; }
    void Add(uint32_t n, Clock::time_point now);
    bool Complete(Clock::time_point now) const;
    // Milliseconds the reader may sleep before the read must be looked at
    // again (-1: until something arrives).
    int WaitMs(Clock::time_point now) const;
    // Ends the read: copies what it holds to out and returns the count.
    uint32_t Take(uint8_t* out);

  private:
    enum class Mode { Full, WhatIsThere, FirstOrConstant, Timed };
    bool pending_ = false;
    Mode mode_ = Mode::Full;
    uint32_t want_ = 0;
    uint32_t got_ = 0;
    uint32_t intervalMs_ = 0;  // 0: none
    bool totalLimited_ = false;
    Clock::time_point totalDeadline_;
    Clock::time_point lastByte_;
    uint8_t data_[kMaxCount];
};

}  // namespace tovl
