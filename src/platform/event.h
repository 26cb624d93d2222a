// Events: the programs' one way for threads to signal each other.
//
// A manual-reset event stays set until it is cleared; an auto-reset event is
// cleared by the one wait it wakes (several waiters: exactly one wakes).
// Events are unnamed; the one place that needs names, the Windows virtual
// port driver's events, opens them through the Win32 backend
// (platform/win32/event_win32.h). A CEvent owns its reference and releases
// it in Close or its destructor; any thread may set, clear or wait.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

namespace tovl {

constexpr uint32_t kInfinite = 0xFFFFFFFF;
constexpr int kWaitTimeout = -1;
constexpr int kWaitFailed = -2;
// The most events one wait can take, as on Windows.
constexpr size_t kMaxWaitEvents = 64;

struct EventImpl;

class CEvent {
  public:
    enum class ResetMode { Manual, Auto };

    CEvent() = default;
    // Takes a reference a platform backend made.
    explicit CEvent(std::shared_ptr<EventImpl> impl) : impl_(std::move(impl)) {}
    ~CEvent();
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;
    CEvent(CEvent&& other) noexcept;
    CEvent& operator=(CEvent&& other) noexcept;

    // Makes a new event. Returns false with the last error set on failure.
    bool Create(ResetMode mode, bool initiallySet);
    void Close();
    bool IsValid() const { return impl_ != nullptr; }

    bool Set();
    bool Clear();
    // Waits up to timeoutMs (kInfinite: no limit). Returns 0 when signalled,
    // kWaitTimeout or kWaitFailed. A zero time-out is a test.
    int Wait(uint32_t timeoutMs);

    EventImpl* Impl() const { return impl_.get(); }

  private:
    std::shared_ptr<EventImpl> impl_;
};

// Waits for any of count events (at most kMaxWaitEvents). When several are
// set, the lowest index wins and only that one is consumed. Returns the index,
// kWaitTimeout, or kWaitFailed (last error 87 for a bad count or an invalid
// event).
int WaitForAnyEvent(CEvent* const* events, size_t count, uint32_t timeoutMs);

}  // namespace tovl
