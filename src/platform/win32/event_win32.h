// Win32 internals of CEvent for other Win32 backends (overlapped port I/O).
#pragma once

#include <windows.h>

#include "platform/event.h"
#include "platform/win32/unique_handle_win32.h"

namespace tovl {

struct EventImpl {
    CUniqueHandle handle;
};

inline HANDLE EventHandle(const CEvent& event) {
    return event.Impl() ? event.Impl()->handle.Get() : nullptr;
}

}  // namespace tovl
