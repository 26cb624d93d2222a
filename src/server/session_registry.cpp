#include "server/session_registry.h"

#include <atomic>
#include <mutex>
#include <set>

#include "server/session_core.h"

namespace tovl {

namespace {

struct Registry {
    std::mutex lock;
    std::vector<ListenerInfo> listeners;
    std::set<CSessionCore*> sessions;
    std::atomic<int64_t> waiting{0};
};

Registry& TheRegistry() {
    // Lives for the whole process: sessions may still end while it exits.
    // NOLINTNEXTLINE(cppcoreguidelines-owning-memory)
    static auto* registry = new Registry;
    return *registry;
}

}  // namespace

void RegisterListener(const ListenerInfo& listener) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.lock);
    r.listeners.push_back(listener);
}

std::vector<ListenerInfo> Listeners() {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.lock);
    return r.listeners;
}

void RegisterSession(CSessionCore* core) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.lock);
    r.sessions.insert(core);
}

void UnregisterSession(CSessionCore* core) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.lock);
    r.sessions.erase(core);
}

// Under the registry's lock a core cannot leave, so asking it is safe.
std::vector<SessionInfo> Sessions() {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.lock);
    std::vector<SessionInfo> sessions;
    sessions.reserve(r.sessions.size());
    for (CSessionCore* core : r.sessions) sessions.push_back(core->Info());
    return sessions;
}

bool DisconnectPort(int portNumber, const std::string& reason) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.lock);
    for (CSessionCore* core : r.sessions) {
        if (core->OpenPortNumber() == portNumber) {
            core->Abort(reason);
            return true;
        }
    }
    return false;
}

void AddWaitingStrangers(int delta) {
    TheRegistry().waiting += delta;
}

size_t WaitingStrangers() {
    const int64_t n = TheRegistry().waiting;
    return n > 0 ? static_cast<size_t>(n) : 0;
}

}  // namespace tovl
