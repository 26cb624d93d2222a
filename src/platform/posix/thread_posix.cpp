#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform/last_error.h"
#include "platform/thread.h"

namespace tovl {

namespace {
thread_local uint32_t t_lastError = 0;

struct ThreadStart {
    ThreadProc proc;
    void* param;
};

void* ThreadTrampoline(void* arg) {
    ThreadStart start = *static_cast<ThreadStart*>(arg);
    delete static_cast<ThreadStart*>(arg);
    start.proc(start.param);
    return nullptr;
}
}  // namespace

uint32_t GetLastErrorCode() {
    return t_lastError;
}
void SetLastErrorCode(uint32_t code) {
    t_lastError = code;
}

bool StartThread(ThreadProc proc, void* param) {
    auto* start = new ThreadStart{proc, param};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, ThreadTrampoline, start);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete start;
        SetLastErrorCode(kErrorNotEnoughMemory);
        return false;
    }
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
