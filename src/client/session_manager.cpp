#include "client/session_manager.h"

#include <algorithm>
#include <atomic>

#include "platform/log.h"
#include "platform/thread.h"

namespace tovl {

namespace {

constexpr uint32_t kOpenPauseMs = 1000;

}  // namespace

// What the manager shares with its watcher threads: the ports (their opened
// events) and the marks of the ports whose event fired.
struct CSessionManager::Shared {
    std::vector<ClientPort> ports;
    std::vector<std::shared_ptr<CVirtualPort>> virtualPorts;
    std::unique_ptr<std::atomic<bool>[]> marked;
    CEvent markedEvent;
    std::atomic<bool> loopEnd{false};
    std::atomic<uint32_t> watchers{0};
};

CSessionManager::CSessionManager(std::vector<ClientPort> ports,
                                 std::vector<std::shared_ptr<CVirtualPort>> virtualPorts)
    : shared_(std::make_shared<Shared>()) {
    shared_->ports = std::move(ports);
    shared_->virtualPorts = std::move(virtualPorts);
    shared_->ports.resize(std::min(shared_->ports.size(), shared_->virtualPorts.size()));
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
    CVirtualPort& port = *shared_->virtualPorts[k];
    std::unique_ptr<CClientSession>& session = sessions_[k];
    const bool isOpen = port.IsOpen();
    const uint32_t use = isOpen ? port.UseCount() : 0;
    if (session && session->Serving()) {
        // Still open with its session running (for example reopened within
        // the pause): that session serves the application, unless the port
        // was closed and opened again since it started. A new use gets a
        // session of its own, with its application's settings. A stopped
        // session sends what its use wrote before PL_CLOSE.
        if (isOpen && use == session->Use()) return;
        session->Stop();
    }
    // Uses that ended before a session sent what they wrote get one each,
    // oldest first, as a real port drains on close.
    // A session still stopping sends its own use's bytes.
    uint32_t ended = session && !session->HasEnded() ? session->Use() : 0;
    bool servedEnded = false;
    for (; port.EndedUseWithData(ended, &ended); servedEnded = true) ServeEndedUse(k, ended);
    if (!isOpen) {
        // A use that ended with nothing to send leaves nothing behind for
        // the next one (its settings go with the old pty). After a session
        // just served, the port may already have its next application.
        if (!servedEnded && (!session || session->HasEnded())) port.HangUp();
        return;
    }
    // The application learns that its port does not work.
    if (!StartSession(k, use)) port.HangUp();
}

void CSessionManager::AwaitEnd(size_t k) {
    std::unique_ptr<CClientSession>& session = sessions_[k];
    if (!session) return;
    // Its pumps may still use the port: it must be gone first. The ended
    // event is the session's own manual-reset event, set by its last pump.
    session->Ended().Wait(kInfinite);
    session.reset();
}

bool CSessionManager::StartSession(size_t k, uint32_t use) {
    AwaitEnd(k);
    shared_->virtualPorts[k]->ServeUse(use);
    auto fresh = std::make_unique<CClientSession>(shared_->ports[k], shared_->virtualPorts[k], use);
    if (!fresh->Connect()) return false;
    fresh->Start();
    sessions_[k] = std::move(fresh);
    return true;
}

void CSessionManager::ServeEndedUse(size_t k, uint32_t use) {
    const uint32_t n = shared_->ports[k].LocalPort;
    if (!StartSession(k, use)) {
        // The cause is logged with the failed set-up.
        LogLine(LogPriority::Warning,
                "virtual port %u: what the application wrote before it closed the port is "
                "dropped",
                n);
        return;
    }
    // Its pump sends every byte of the use, then PL_CLOSE.
    sessions_[k]->Stop();
    AwaitEnd(k);
}

uint32_t CSessionManager::RunDirect() {
    std::vector<std::shared_ptr<CVirtualPort>>& ports = shared_->virtualPorts;
    CEvent* events[kMaxWaitEvents];
    for (size_t i = 0; i < ports.size(); ++i) events[i] = &ports[i]->Opened();
    for (;;) {
        const int which = WaitForAnyEvent(events, ports.size(), kInfinite);
        if (shared_->loopEnd.load()) return 0;
        // Only an event that is not one can fail the wait: nothing to serve.
        if (which < 0) return 1;
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
                events.push_back(&shared->virtualPorts[first + i]->Opened());
            while (!shared->loopEnd.load()) {
                const int which = WaitForAnyEvent(events.data(), events.size(), kInfinite);
                if (which < 0) break;
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
            if (shared_->markedEvent.Wait(kInfinite) != 0) return 1;
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
