#include <windows.h>

#include <cstdio>
#include <functional>
#include <memory>

#include "platform/last_error.h"
#include "platform/log.h"
#include "platform/thread.h"
#include "platform/win32/unique_handle_win32.h"

namespace tovl {

namespace {
DWORD WINAPI ThreadTrampoline(LPVOID arg) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
    // The last guard: a body that lets something escape ends its own
    // thread, never the process. Every body catches what it can end cleanly.
    try {
        (*body)();
    } catch (...) {
        LogLine(LogPriority::Error, "a thread ended on an unexpected failure");
    }
    return 0;
}
}  // namespace

uint32_t GetLastErrorCode() {
    return GetLastError();
}
void SetLastErrorCode(uint32_t code) {
    SetLastError(code);
}

bool StartThread(std::function<void()> body, size_t stackBytes) {
    auto start = std::make_unique<std::function<void()>>(std::move(body));
    // The size is the reservation, not the commitment, of the new stack.
    // The thread runs detached: its handle is closed at once.
    CUniqueHandle thread(CreateThread(nullptr, stackBytes, ThreadTrampoline, start.get(),
                                      STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    if (!thread) return false;
    static_cast<void>(start.release());  // the new thread owns it now
    return true;
}

void SleepMs(uint32_t milliseconds) {
    Sleep(milliseconds);
}

void SleepForever() {
    for (;;) Sleep(INFINITE);
}

void ExitProcessNow(int code) {
    fflush(stdout);
    fflush(stderr);
    ExitProcess(static_cast<UINT>(code));
}

}  // namespace tovl
