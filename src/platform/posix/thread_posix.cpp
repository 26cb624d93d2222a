#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>

#include "platform/last_error.h"
#include "platform/log.h"
#include "platform/thread.h"

namespace tovl {

namespace {
thread_local uint32_t t_lastError = 0;

void* ThreadTrampoline(void* arg) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
    // The last guard: a body that lets something escape ends its own
    // thread, never the process. Every body catches what it can end cleanly.
    try {
        (*body)();
    } catch (...) {
        LogLine(LogPriority::Error, "a thread ended on an unexpected failure");
    }
    return nullptr;
}
}  // namespace

uint32_t GetLastErrorCode() {
    return t_lastError;
}
void SetLastErrorCode(uint32_t code) {
    t_lastError = code;
}

bool StartThread(std::function<void()> body, size_t stackBytes) {
    auto start = std::make_unique<std::function<void()>>(std::move(body));
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stackBytes != 0) {
        const size_t pageBytes = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        const size_t rounded =
            (std::max(stackBytes, static_cast<size_t>(PTHREAD_STACK_MIN)) + pageBytes - 1) /
            pageBytes * pageBytes;
        pthread_attr_setstacksize(&attr, rounded);
    }
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, ThreadTrampoline, start.get());
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        SetLastErrorCode(kErrorNotEnoughMemory);
        return false;
    }
    static_cast<void>(start.release());  // the new thread owns it now
    return true;
}

void SleepMs(uint32_t milliseconds) {
    timespec ts{static_cast<time_t>(milliseconds / 1000),
                static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void SleepForever() {
    for (;;) pause();
}

void ExitProcessNow(int code) {
    fflush(stdout);
    fflush(stderr);
    _exit(code);
}

}  // namespace tovl
