// Events on eventfd: the counter is non-zero while the event is set, so any
// number of events can be waited for with one poll. An auto-reset event is
// taken by a non-blocking read, which only one waiter can win; the others go
// back to waiting.
#include "platform/posix/event_posix.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>

#include "platform/last_error.h"
#include "platform/posix/unique_fd_posix.h"

namespace tovl {

struct EventImpl {
    // Set and take happen under this lock, which also makes the hand-over
    // visible to thread checkers that do not know eventfd.
    std::mutex lock;
    CUniqueFd fd;
    CEvent::ResetMode mode = CEvent::ResetMode::Manual;
};

namespace {

bool TakeImpl(EventImpl* e) {
    std::lock_guard<std::mutex> guard(e->lock);
    if (e->mode == CEvent::ResetMode::Manual) {
        pollfd p{e->fd.Get(), POLLIN, 0};
        return poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
    }
    uint64_t value;
    return read(e->fd.Get(), &value, sizeof value) == sizeof value;
}

int PollTimeout(std::chrono::steady_clock::time_point deadline, uint32_t timeoutMs) {
    if (timeoutMs == kInfinite) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

CEvent::~CEvent() = default;
CEvent::CEvent(CEvent&& other) noexcept = default;
CEvent& CEvent::operator=(CEvent&& other) noexcept = default;

bool CEvent::Create(ResetMode mode, bool initiallySet) {
    auto impl = std::make_shared<EventImpl>();
    impl->fd.Reset(eventfd(initiallySet ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!impl->fd) {
        SetLastErrorCode(kErrorNotEnoughMemory);
        impl_.reset();
        return false;
    }
    impl->mode = mode;
    impl_ = std::move(impl);
    return true;
}

void CEvent::Close() {
    impl_.reset();
}

bool CEvent::Set() {
    // A waiter woken by this set may drop its own reference at once; this
    // one keeps the event alive until the set is complete.
    std::shared_ptr<EventImpl> impl = impl_;
    if (!impl) {
        SetLastErrorCode(kErrorInvalidHandle);
        return false;
    }
    uint64_t one = 1;
    std::lock_guard<std::mutex> guard(impl->lock);
    // A full counter (never reached in practice) still reads as set.
    return write(impl->fd.Get(), &one, sizeof one) == sizeof one || errno == EAGAIN;
}

bool CEvent::Clear() {
    if (!impl_) {
        SetLastErrorCode(kErrorInvalidHandle);
        return false;
    }
    uint64_t value;
    std::lock_guard<std::mutex> guard(impl_->lock);
    while (read(impl_->fd.Get(), &value, sizeof value) == sizeof value) {
    }
    return true;
}

int CEvent::Wait(uint32_t timeoutMs) {
    CEvent* self = this;
    return WaitForAnyEvent(&self, 1, timeoutMs);
}

int EventPollFd(const CEvent& event) {
    return event.Impl() ? event.Impl()->fd.Get() : -1;
}

bool EventTryTake(const CEvent& event) {
    return event.Impl() && TakeImpl(event.Impl());
}

int WaitForAnyEvent(CEvent* const* events, size_t count, uint32_t timeoutMs) {
    if (count == 0 || count > kMaxWaitEvents) {
        SetLastErrorCode(kErrorInvalidParameter);
        return kWaitFailed;
    }
    pollfd fds[kMaxWaitEvents];
    for (size_t i = 0; i < count; ++i) {
        if (events[i] == nullptr || !events[i]->IsValid()) {
            SetLastErrorCode(kErrorInvalidHandle);
            return kWaitFailed;
        }
        fds[i] = pollfd{events[i]->Impl()->fd.Get(), POLLIN, 0};
    }
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(timeoutMs == kInfinite ? 0 : timeoutMs);
    for (;;) {
        int ready = poll(fds, count, PollTimeout(deadline, timeoutMs));
        if (ready < 0) {
            if (errno == EINTR) continue;
            SetLastErrorCode(kErrorInvalidHandle);
            return kWaitFailed;
        }
        // Lowest index first; another waiter may have taken an auto-reset
        // event between the poll and the read, then wait again.
        for (size_t i = 0; i < count; ++i) {
            if (TakeImpl(events[i]->Impl())) return static_cast<int>(i);
        }
        if (ready == 0 && PollTimeout(deadline, timeoutMs) == 0) return kWaitTimeout;
    }
}

}  // namespace tovl
