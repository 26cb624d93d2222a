#include "platform/win32/event_win32.h"

#include "platform/last_error.h"
#include "platform/win32/named_event_win32.h"

namespace tovl {

CEvent::~CEvent() = default;
CEvent::CEvent(CEvent&& other) noexcept = default;
CEvent& CEvent::operator=(CEvent&& other) noexcept = default;

namespace {

// The event behind a handle, or an invalid one when there is no handle.
CEvent EventOfHandle(HANDLE h) {
    if (h == nullptr) return CEvent();
    auto impl = std::make_shared<EventImpl>();
    impl->handle.Reset(h);
    return CEvent(std::move(impl));
}

}  // namespace

bool CEvent::Create(ResetMode mode, bool initiallySet) {
    *this = EventOfHandle(CreateEventA(nullptr, mode == ResetMode::Manual, initiallySet, nullptr));
    return IsValid();
}

CEvent CreateNamedEvent(CEvent::ResetMode mode, bool initiallySet, const char* name) {
    return EventOfHandle(
        CreateEventA(nullptr, mode == CEvent::ResetMode::Manual, initiallySet, name));
}

CEvent OpenNamedEvent(const char* name) {
    return EventOfHandle(OpenEventA(SYNCHRONIZE, FALSE, name));
}

void CEvent::Close() {
    impl_.reset();
}

bool CEvent::Set() {
    if (!impl_) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return SetEvent(impl_->handle.Get()) != 0;
}

bool CEvent::Clear() {
    if (!impl_) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return ResetEvent(impl_->handle.Get()) != 0;
}

int CEvent::Wait(uint32_t timeoutMs) {
    CEvent* self = this;
    return WaitForAnyEvent(&self, 1, timeoutMs);
}

int WaitForAnyEvent(CEvent* const* events, size_t count, uint32_t timeoutMs) {
    if (count == 0 || count > kMaxWaitEvents) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return kWaitFailed;
    }
    HANDLE handles[kMaxWaitEvents];
    for (size_t i = 0; i < count; ++i) {
        if (events[i] == nullptr || !events[i]->IsValid()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return kWaitFailed;
        }
        handles[i] = events[i]->Impl()->handle.Get();
    }
    DWORD rc = WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE, timeoutMs);
    if (rc < WAIT_OBJECT_0 + count) return static_cast<int>(rc - WAIT_OBJECT_0);
    if (rc == WAIT_TIMEOUT) return kWaitTimeout;
    return kWaitFailed;
}

}  // namespace tovl
