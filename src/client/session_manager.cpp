#include "client/session_manager.h"

#include <algorithm>
#include <atomic>

#include "client/vexa_driver.h"
#include "platform/thread.h"

namespace tovl {

namespace {

constexpr uint32_t kOpenPauseMs = 1000;
// A failed wait is repeated after this pause, never in a tight loop.
constexpr uint32_t kFailedWaitPauseMs = 100;

}  // namespace

// What the manager shares with its watcher threads: the ports (their opened
// events) and the marks of the ports whose event fired.
struct CSessionManager::Shared {
    std::vector<ClientPort> ports;
    std::unique_ptr<std::atomic<bool>[]> marked;
    CEvent markedEvent;
    std::atomic<bool> loopEnd{false};
    std::atomic<uint32_t> watchers{0};
};

CSessionManager::CSessionManager(std::vector<ClientPort> ports)
    : shared_(std::make_shared<Shared>()) {
    shared_->ports = std::move(ports);
    const size_t count = shared_->ports.size();
    shared_->marked = std::make_unique<std::atomic<bool>[]>(count);
    for (size_t k = 0; k < count; ++k) shared_->marked[k].store(false);
    shared_->markedEvent.Create(CEvent::ResetMode::Auto, false);
    sessions_.resize(count);
}

CSessionManager::~CSessionManager() {
    RequestEnd();
}

void CSessionManager::RequestEnd() {
    shared_->loopEnd.store(true);
    shared_->markedEvent.Set();
}

uint32_t CSessionManager::Watchers() const {
    return shared_->watchers.load();
}

uint32_t CSessionManager::Run() {
    shared_->loopEnd.store(false);
    if (shared_->ports.empty()) return 0;
    if (shared_->ports.size() <= kMaxWaitEvents) return RunDirect();
    return RunGrouped();
}

void CSessionManager::ServeOpening(size_t k) {
    const ClientPort& port = shared_->ports[k];
    std::unique_ptr<CClientSession>& session = sessions_[k];
    uint32_t isOpen = 0;
    // A failed query counts as closed.
    if (!VexaGetOpenState(port.LocalPort, &isOpen)) isOpen = 0;
    if (isOpen == 0) {
        if (session && session->Serving()) {
            session->Stop();
        } else if (!session || session->HasEnded()) {
            // A use that ended before its session was up: what it wrote is
            // not kept for the next one.
            VexaHangUp(port.LocalPort);
        }
        return;
    }
    const uint32_t use = VexaUseCount(port.LocalPort);
    if (session && session->Serving()) {
        // Still open with its session running (for example reopened within
        // the pause): that session serves the application, unless the port
        // was closed and opened again since it started. A new use gets a
        // session of its own, with its application's settings.
        if (use == session->Use()) return;
        session->Stop();
    }
    // An old session still ending must be gone first: its pumps may still
    // use the port.
    if (session) {
        while (session->Ended().Wait(kInfinite) != 0) SleepMs(kFailedWaitPauseMs);
        session.reset();
    }
    auto fresh = std::make_unique<CClientSession>(port, use);
    if (!fresh->Connect()) {
        // The application learns that its port does not work.
        VexaHangUp(port.LocalPort);
        return;
    }
    fresh->Start();
    session = std::move(fresh);
}

uint32_t CSessionManager::RunDirect() {
    std::vector<ClientPort>& ports = shared_->ports;
    CEvent* events[kMaxWaitEvents];
    for (size_t i = 0; i < ports.size(); ++i) events[i] = &ports[i].OpenedEvent;
    for (;;) {
        int which = WaitForAnyEvent(events, ports.size(), kInfinite);
        if (shared_->loopEnd.load()) return 0;
        if (which < 0) {
            SleepMs(kFailedWaitPauseMs);
            continue;
        }
        SleepMs(kOpenPauseMs);
        ServeOpening(static_cast<size_t>(which));
    }
}

uint32_t CSessionManager::RunGrouped() {
    const size_t count = shared_->ports.size();
    for (size_t k = 0; k < count; ++k) shared_->marked[k].store(false);
    for (size_t first = 0; first < count; first += kMaxWaitEvents) {
        const size_t size = std::min<size_t>(kMaxWaitEvents, count - first);
        std::shared_ptr<Shared> shared = shared_;
        shared->watchers.fetch_add(1);
        const bool started = StartThread([shared, first, size] {
            std::vector<CEvent*> events;
            for (size_t i = 0; i < size; ++i)
                events.push_back(&shared->ports[first + i].OpenedEvent);
            while (!shared->loopEnd.load()) {
                const int which = WaitForAnyEvent(events.data(), events.size(), kInfinite);
                if (which < 0) {
                    SleepMs(kFailedWaitPauseMs);
                    continue;
                }
                shared->marked[first + static_cast<size_t>(which)].store(true);
                shared->markedEvent.Set();
            }
            shared->watchers.fetch_sub(1);
        });
        if (!started) shared->watchers.fetch_sub(1);
    }
    auto lowestMarked = [this, count] {
        size_t k = 0;
        while (k < count && !shared_->marked[k].load()) ++k;
        return k;
    };
    for (;;) {
        if (shared_->loopEnd.load()) return 0;
        if (lowestMarked() == count) {
            if (shared_->markedEvent.Wait(kInfinite) != 0) SleepMs(kFailedWaitPauseMs);
            continue;
        }
        // The port is chosen after the pause: openings marked by different
        // watchers during it are served lowest first.
        SleepMs(kOpenPauseMs);
        const size_t k = lowestMarked();
        shared_->marked[k].store(false);
        ServeOpening(k);
    }
}

}  // namespace tovl
