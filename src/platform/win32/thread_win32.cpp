#include <windows.h>

#include <cstdio>

#include "platform/last_error.h"
#include "platform/thread.h"

namespace tovl {

namespace {
struct ThreadStart {
    ThreadProc proc;
    void* param;
};

DWORD WINAPI ThreadTrampoline(LPVOID arg) {
    ThreadStart start = *static_cast<ThreadStart*>(arg);
    delete static_cast<ThreadStart*>(arg);
    return start.proc(start.param);
}
}  // namespace

uint32_t GetLastErrorCode() {
    return GetLastError();
}
void SetLastErrorCode(uint32_t code) {
    SetLastError(code);
}

bool StartThread(ThreadProc proc, void* param) {
    auto* start = new ThreadStart{proc, param};
    HANDLE thread = CreateThread(nullptr, 0, ThreadTrampoline, start, 0, nullptr);
    if (thread == nullptr) {
        delete start;
        return false;
    }
    CloseHandle(thread);
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
