// Win32 internals of CEvent for other Win32 backends (overlapped port I/O).
#pragma once

#include <windows.h>

#include "platform/event.h"

namespace tovl {

struct EventImpl {
    HANDLE handle = nullptr;
    ~EventImpl() {
        if (handle) CloseHandle(handle);
    }
};

inline HANDLE EventHandle(const CEvent& event) {
    return event.Impl() ? event.Impl()->handle : nullptr;
}

}  // namespace tovl
