#include "server/admission.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <set>

#include "config/address_text.h"
#include "config/product_keys.h"
#include "platform/log.h"
#include "platform/registry.h"
#include "platform/thread.h"
#include "server/access_check.h"

namespace tovl {

namespace {

using Clock = std::chrono::steady_clock;

struct Counts {
    std::mutex lock;
    SessionLimits limits;
    size_t listed = 0;
    size_t strangers = 0;
    std::map<std::string, size_t> perAddress;
};

Counts& TheCounts() {
    // Lives for the whole process: sessions may still end while it exits.
    // NOLINTNEXTLINE(cppcoreguidelines-owning-memory)
    static auto* counts = new Counts;
    return *counts;
}

void GiveBack(const std::string& address, bool listed) {
    Counts& c = TheCounts();
    std::lock_guard<std::mutex> lock(c.lock);
    --(listed ? c.listed : c.strangers);
    auto it = c.perAddress.find(address);
    if (it != c.perAddress.end() && --it->second == 0) c.perAddress.erase(it);
}

bool ReadLimit(CRegKey& key, const char* name, size_t* value) {
    char data[32] = {};
    uint32_t size = sizeof data - 1;
    if (key.QueryValue(name, data, &size) != 0) return false;
    const std::string text(data, size);
    uint64_t v = 0;
    size_t digits = 0;
    for (char ch : text) {
        if (ch == '\0') break;
        if (ch < '0' || ch > '9' || ++digits > 9) {
            LogLine(LogPriority::Warning, "value %s of the Server key is not a number: ignored",
                    name);
            return false;
        }
        v = v * 10 + static_cast<uint64_t>(ch - '0');
    }
    if (digits == 0 || v == 0) {
        LogLine(LogPriority::Warning, "value %s of the Server key must be at least 1: ignored",
                name);
        return false;
    }
    *value = static_cast<size_t>(v);
    return true;
}

// The deadlines of strangers' connections, and the thread that keeps them.
class CWatchList {
  public:
    uint64_t Arm(CBlockingSocket& connection, Clock::time_point deadline) {
        std::lock_guard<std::mutex> lock(lock_);
        if (!started_) {
            // The watch is optional: without its thread a stranger's stay is
            // bounded by its reads' own time-outs only.
            started_ = StartThread([this] { Keep(); });
            if (!started_) LogLine(LogPriority::Error, "no thread to bound strangers' stays");
        }
        const uint64_t id = ++lastId_;
        entries_.emplace(id, Entry{&connection, deadline});
        changed_.notify_one();
        return id;
    }

    void Disarm(uint64_t id) {
        std::lock_guard<std::mutex> lock(lock_);
        entries_.erase(id);
        expired_.erase(id);
    }

    bool Expired(uint64_t id) {
        std::lock_guard<std::mutex> lock(lock_);
        return expired_.count(id) != 0;
    }

  private:
    struct Entry {
        CBlockingSocket* connection;
        Clock::time_point deadline;
    };

    [[noreturn]] void Keep() {
        std::unique_lock<std::mutex> lock(lock_);
        for (;;) {
            const Clock::time_point now = Clock::now();
            Clock::time_point next = Clock::time_point::max();
            for (auto it = entries_.begin(); it != entries_.end();) {
                if (it->second.deadline <= now) {
                    // Under the lock: Disarm cannot return while this runs.
                    it->second.connection->Close();
                    expired_.insert(it->first);
                    it = entries_.erase(it);
                } else {
                    next = std::min(next, it->second.deadline);
                    ++it;
                }
            }
            if (next == Clock::time_point::max())
                changed_.wait(lock);
            else
                changed_.wait_until(lock, next);
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;
    bool started_ = false;
    uint64_t lastId_ = 0;
    std::map<uint64_t, Entry> entries_;
    std::set<uint64_t> expired_;
};

CWatchList& TheWatchList() {
    // Its thread runs for the whole process.
    // NOLINTNEXTLINE(cppcoreguidelines-owning-memory)
    static auto* list = new CWatchList;
    return *list;
}

}  // namespace

SessionLimits CurrentSessionLimits() {
    Counts& c = TheCounts();
    std::lock_guard<std::mutex> lock(c.lock);
    return c.limits;
}

void SetSessionLimits(const SessionLimits& limits) {
    Counts& c = TheCounts();
    std::lock_guard<std::mutex> lock(c.lock);
    c.limits = limits;
}

SessionLimits ReadSessionLimits() {
    SessionLimits limits;
    CRegKey key;
    if (key.OpenLocalMachine(kServerKey) != 0) return limits;
    ReadLimit(key, "MaxSessions", &limits.maxSessions);
    ReadLimit(key, "MaxSessionsPerAddress", &limits.maxPerAddress);
    ReadLimit(key, "MaxStrangers", &limits.maxStrangers);
    return limits;
}

bool TakeSessionSlot(const std::string& address, bool listed, std::shared_ptr<const void>* ticket,
                     std::string* refusal) {
    Counts& c = TheCounts();
    {
        std::lock_guard<std::mutex> lock(c.lock);
        size_t& total = listed ? c.listed : c.strangers;
        const size_t cap = listed ? c.limits.maxSessions : c.limits.maxStrangers;
        if (total >= cap) {
            *refusal = listed ? "sessions at their limit (" + std::to_string(cap) + ")"
                              : "strangers at their limit (" + std::to_string(cap) + ")";
            return false;
        }
        size_t& mine = c.perAddress[address];
        if (mine >= c.limits.maxPerAddress) {
            if (mine == 0) c.perAddress.erase(address);
            *refusal = "sessions of this address at their limit (" +
                       std::to_string(c.limits.maxPerAddress) + ")";
            return false;
        }
        ++total;
        ++mine;
    }
    *ticket = std::shared_ptr<const void>(
        nullptr, [address, listed](const void*) { GiveBack(address, listed); });
    return true;
}

size_t RunningSessions(bool listed) {
    Counts& c = TheCounts();
    std::lock_guard<std::mutex> lock(c.lock);
    return listed ? c.listed : c.strangers;
}

bool AdmitConnection(CBlockingSocket& connection, SessionAdmission* admission) {
    SockAddr peer;
    try {
        connection.GetPeerName(&peer);
    } catch (const CBlockingSocketException&) {
        return false;
    }
    admission->known = true;
    admission->address = PeerAddressName(peer);
    admission->peer = PeerEndpointText(peer);
    admission->listed = IsAddressAllowed(admission->address.c_str());
    admission->deadline = Clock::now() + CurrentSessionLimits().strangerStay;
    return true;
}

CStrangerWatch::CStrangerWatch(CBlockingSocket& connection, Clock::time_point deadline)
    : id_(TheWatchList().Arm(connection, deadline)) {}

CStrangerWatch::~CStrangerWatch() {
    TheWatchList().Disarm(id_);
}

bool CStrangerWatch::Expired() const {
    return TheWatchList().Expired(id_);
}

}  // namespace tovl
