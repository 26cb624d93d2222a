#include "server/accept_loop.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/log.h"
#include "platform/thread.h"
#include "server/access_check.h"

namespace tovl {

namespace {

using Clock = std::chrono::steady_clock;

// Pause before accepting again after Accept failed (for example when the
// process is out of descriptors), so a lasting failure does not spin.
constexpr uint32_t kAcceptRetryPauseMs = 100;
// Connections accepted one after another before the waiting room is polled
// again.
constexpr int kAcceptsPerPass = 64;

struct Waiting {
    std::shared_ptr<CBlockingSocket> connection;
    std::string peer;
    Clock::time_point deadline;
};

class CAcceptLoop {
  public:
    CAcceptLoop(CBlockingSocket& listener, const char* protocol, const ConnectionSession& session,
                const AcceptLoopLimits& limits)
        : listener_(listener), protocol_(protocol), session_(session), limits_(limits) {}

    [[noreturn]] void Run() {
        std::vector<SocketHandle> handles;
        std::unique_ptr<bool[]> readable(new bool[kPollMaxSockets]);
        for (;;) {
            handles.clear();
            handles.push_back(listener_.Handle());
            for (const Waiting& w : room_) handles.push_back(w.connection->Handle());
            int rc = SockPollReadable(handles.data(), handles.size(), TimeoutMs(), readable.get());
            if (rc < 0) {
                SleepMs(kAcceptRetryPauseMs);
                continue;
            }
            // Those that spoke leave the room first, in arrival order.
            size_t kept = 0;
            for (size_t i = 0; i < room_.size(); ++i) {
                if (readable[i + 1])
                    StartSession(room_[i].connection, room_[i].peer);
                else
                    room_[kept++] = std::move(room_[i]);
            }
            room_.resize(kept);
            const Clock::time_point now = Clock::now();
            while (!room_.empty() && room_.front().deadline <= now) {
                Dismiss("silent too long");
            }
            // A burst is taken in runs: the room is polled again only after
            // the connections already waiting (up to a run) are accepted.
            bool pending = readable[0];
            for (int i = 0; pending && i < kAcceptsPerPass; ++i) {
                AcceptOne();
                const SocketHandle listener = listener_.Handle();
                bool ready = false;
                pending = SockPollReadable(&listener, 1, 0, &ready) == 1 && ready;
            }
        }
    }

  private:
    int TimeoutMs() const {
        if (room_.empty()) return -1;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            room_.front().deadline - Clock::now());
        return static_cast<int>(std::max<int64_t>(0, left.count() + 1));
    }

    void AcceptOne() {
        auto connection = std::make_shared<CBlockingSocket>(SocketVariant::Server);
        SockAddrIn peer;
        peer.family = kAfInet;
        try {
            if (!listener_.Accept(*connection, &peer)) return;
        } catch (const CBlockingSocketException& e) {
            LogLine(LogPriority::Warning, "%s: accept failed: error %d", protocol_, e.ErrorCode());
            connection->Close();
            SleepMs(kAcceptRetryPauseMs);
            return;
        }
        const std::string text = PeerText(peer);
        if (IsAddressAllowed(InetNtoa(peer.addrBe).c_str())) {
            LogLine(LogPriority::Info, "%s: accepted %s", protocol_, text.c_str());
            StartSession(connection, text);
            return;
        }
        if (limits_.closeUnlisted) {
            LogLine(LogPriority::Notice, "%s: closed %s: not on the allowed list", protocol_,
                    text.c_str());
            connection->Close();
            return;
        }
        if (room_.size() >= RoomCapacity()) Dismiss("waiting room full");
        LogLine(LogPriority::Info,
                "%s: accepted %s: not on the allowed list, waiting for its first message",
                protocol_, text.c_str());
        room_.push_back(Waiting{connection, text,
                                Clock::now() + std::chrono::milliseconds(limits_.patienceMs)});
    }

    // Half the descriptors stay for the sessions and their devices.
    size_t RoomCapacity() const {
        return std::min({limits_.capacity, kPollMaxSockets - 1,
                         std::max<size_t>(SockDescriptorLimit() / 2, 1)});
    }

    void Dismiss(const char* reason) {
        LogLine(LogPriority::Notice, "%s: closed %s: %s", protocol_, room_.front().peer.c_str(),
                reason);
        room_.front().connection->Close();
        room_.pop_front();
    }

    void StartSession(const std::shared_ptr<CBlockingSocket>& connection, const std::string& peer) {
        if (StartThread([connection, session = session_] { session(*connection); })) return;
        LogLine(LogPriority::Error, "%s: closed %s: no thread for its session", protocol_,
                peer.c_str());
        connection->Close();
    }

    CBlockingSocket& listener_;
    const char* const protocol_;
    const ConnectionSession& session_;
    const AcceptLoopLimits limits_;
    std::deque<Waiting> room_;
};

}  // namespace

std::string PeerText(const SockAddrIn& peer) {
    return InetNtoa(peer.addrBe) + ":" + std::to_string(NetToHost16(peer.portBe));
}

void RunAcceptLoop(CBlockingSocket& listener, const char* protocol,
                   const ConnectionSession& session, const AcceptLoopLimits& limits) {
    CAcceptLoop loop(listener, protocol, session, limits);
    loop.Run();
}

}  // namespace tovl
