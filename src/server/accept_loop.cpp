#include "server/accept_loop.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "config/address_text.h"
#include "net/port_link.h"
#include "platform/log.h"
#include "platform/thread.h"
#include "server/access_check.h"
#include "server/session_registry.h"

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
    SessionAdmission admission;
    bool handshaking = false;  // a TLS handshake not finished yet
};

class CAcceptLoop {
  public:
    CAcceptLoop(CBlockingSocket& listener, const char* protocol, const ConnectionSession& session,
                const AcceptLoopLimits& limits)
        : listener_(listener), protocol_(protocol), session_(session), limits_(limits) {}

    [[noreturn]] void Run() {
        for (;;) {
            // Nothing thrown ends the listener: a pass that failed is begun again.
            try {
                Pass();
            } catch (...) {
                LogLine(LogPriority::Error, "%s: accept loop failed; going on", protocol_);
                SleepMs(kAcceptRetryPauseMs);
            }
        }
    }

  private:
    void Pass() {
        {
            handles_.clear();
            handles_.push_back(listener_.Handle());
            for (const Waiting& w : room_) handles_.push_back(w.connection->Handle());
            int rc =
                SockPollReadable(handles_.data(), handles_.size(), TimeoutMs(), readable_.get());
            if (rc < 0) {
                SleepMs(kAcceptRetryPauseMs);
                return;
            }
            // Those that spoke leave the room first, in arrival order.
            size_t kept = 0;
            for (size_t i = 0; i < room_.size(); ++i) {
                const bool stays =
                    !readable_[i + 1] || (room_[i].handshaking && HandshakeGoesOn(room_[i]));
                if (stays) {
                    // Never moved onto itself: that would empty its texts.
                    if (kept != i) room_[kept] = std::move(room_[i]);
                    ++kept;
                } else if (!room_[i].handshaking) {
                    AdmitStranger(room_[i]);
                }
            }
            room_.resize(kept);
            const Clock::time_point now = Clock::now();
            while (!room_.empty() && room_.front().admission.deadline <= now) {
                Dismiss(room_.front().handshaking ? "TLS handshake not finished in time"
                                                  : "silent too long");
            }
            // A burst is taken in runs: the room is polled again only after
            // the connections already waiting (up to a run) are accepted.
            PublishRoom();
            bool pending = readable_[0];
            for (int i = 0; pending && i < kAcceptsPerPass; ++i) {
                AcceptOne();
                const SocketHandle listener = listener_.Handle();
                bool ready = false;
                pending = SockPollReadable(&listener, 1, 0, &ready) == 1 && ready;
            }
        }
    }

    // The room's size as the control channel shows it.
    void PublishRoom() {
        const auto now = static_cast<int>(room_.size());
        if (now != published_) AddWaitingStrangers(now - published_);
        published_ = now;
    }

    int TimeoutMs() const {
        if (room_.empty()) return -1;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            room_.front().admission.deadline - Clock::now());
        return static_cast<int>(std::max<int64_t>(0, left.count() + 1));
    }

    void AcceptOne() {
        auto connection = std::make_shared<CBlockingSocket>(SocketVariant::Server);
        SockAddr peer;
        try {
            if (!listener_.Accept(*connection, &peer)) return;
        } catch (const CBlockingSocketException& e) {
            LogLine(LogPriority::Warning, "%s: accept failed: error %d", protocol_, e.ErrorCode());
            connection->Close();
            SleepMs(kAcceptRetryPauseMs);
            return;
        }
        SessionAdmission admission;
        admission.known = true;
        admission.address = PeerAddressName(peer);
        admission.peer = PeerEndpointText(peer);
        admission.listed = IsAddressAllowed(admission.address.c_str());
        admission.deadline = Clock::now() + CurrentSessionLimits().strangerStay;
        const char* text = admission.peer.c_str();
        if (limits_.tls) {
            StartHandshake(connection, std::move(admission));
            return;
        }
        if (admission.listed) {
            AdmitListed(connection, admission);
            return;
        }
        if (limits_.closeUnlisted) {
            LogLine(LogPriority::Notice, "%s: closed %s: not on the allowed list", protocol_, text);
            connection->Close();
            return;
        }
        if (room_.size() >= RoomCapacity()) Dismiss("waiting room full");
        LogLine(LogPriority::Info,
                "%s: accepted %s: not on the allowed list, waiting for its first message",
                protocol_, text);
        room_.push_back(Waiting{connection, std::move(admission)});
    }

    void AdmitListed(const std::shared_ptr<CBlockingSocket>& connection,
                     SessionAdmission& admission) {
        const char* text = admission.peer.c_str();
        std::string refusal;
        if (!TakeSessionSlot(admission.address, true, &admission.ticket, &refusal)) {
            LogLine(LogPriority::Warning, "%s: closed %s: %s", protocol_, text, refusal.c_str());
            connection->Close();
            return;
        }
        LogLine(LogPriority::Info, "%s: accepted %s", protocol_, text);
        StartSession(connection, admission);
    }

    // Every peer of a TLS listener waits in the room for its handshake,
    // listed or not: nothing it says is believed before it.
    void StartHandshake(const std::shared_ptr<CBlockingSocket>& connection,
                        SessionAdmission admission) {
        std::shared_ptr<CTlsStream> stream = MakeTlsStream(limits_.tls);
        if (!stream) {
            LogLine(LogPriority::Error, "%s: closed %s: no TLS state for it", protocol_,
                    admission.peer.c_str());
            connection->Close();
            return;
        }
        connection->AttachTls(std::move(stream));
        if (room_.size() >= RoomCapacity()) Dismiss("waiting room full");
        room_.push_back(Waiting{connection, std::move(admission), true});
    }

    // A TLS peer's bytes arrived: the handshake takes them. True while it
    // needs more; otherwise the peer has left the room (admitted or closed).
    bool HandshakeGoesOn(Waiting& waiting) {
        std::string why;
        const TlsHandshakeResult result = waiting.connection->TlsHandshake(0, &why);
        if (result == TlsHandshakeResult::WantRead) return true;
        SessionAdmission& admission = waiting.admission;
        const char* text = admission.peer.c_str();
        admission.certificate = waiting.connection->Tls()->Peer();
        const std::string who = DescribeIdentity(admission.certificate);
        if (result == TlsHandshakeResult::Failed) {
            LogLine(LogPriority::Notice, "%s: closed %s: TLS handshake failed: %s (%s)", protocol_,
                    text, why.c_str(), who.c_str());
            waiting.connection->Close();
            return false;
        }
        const bool byCertificate = IsCertificateAllowed(admission.certificate);
        admission.listed = admission.listed || byCertificate;
        if (admission.listed) {
            LogLine(LogPriority::Info, "%s: %s: TLS with %s, let in (%s listed)", protocol_, text,
                    who.c_str(), byCertificate ? "certificate" : "address");
            AdmitListed(waiting.connection, admission);
            return false;
        }
        if (limits_.closeUnlisted) {
            LogLine(LogPriority::Notice,
                    "%s: closed %s: TLS with %s, refused: neither it nor the address is listed",
                    protocol_, text, who.c_str());
            waiting.connection->Close();
            return false;
        }
        // The port-link protocol refuses it after its open request.
        LogLine(LogPriority::Notice,
                "%s: %s: TLS with %s, not listed: waiting for its open request to refuse it",
                protocol_, text, who.c_str());
        std::string refusal;
        if (!TakeSessionSlot(admission.address, false, &admission.ticket, &refusal)) {
            LogLine(LogPriority::Notice, "%s: closed %s: %s", protocol_, text, refusal.c_str());
            waiting.connection->Close();
            return false;
        }
        StartSession(waiting.connection, admission);
        return false;
    }

    // A stranger that spoke gets a session thread while strangers are few.
    // Past that, an open request that has arrived whole still gets its
    // refusal, from here, and anything else is closed: a burst of strangers
    // costs no thread.
    void AdmitStranger(Waiting& waiting) {
        std::string refusal;
        if (TakeSessionSlot(waiting.admission.address, false, &waiting.admission.ticket,
                            &refusal)) {
            StartSession(waiting.connection, waiting.admission);
            return;
        }
        const SocketHandle handle = waiting.connection->Handle();
        uint8_t request[512];
        const int arrived = SockPeek(handle, request, sizeof request);
        if (limits_.refuseOpenAtCap && arrived >= 8 && DecodeU32(request) == PL_OPEN) {
            // What arrived is taken first: a socket closed with bytes
            // unread sends a reset, which can reach the peer before the
            // refusal and wipe it out.
            SockRecv(handle, request, arrived);
            uint8_t reply[4];
            EncodeU32(PL_OPEN_FAILED, reply);
            SockSend(handle, reply, sizeof reply);  // a fresh socket takes 4 bytes at once
            refusal += "; refused its open request";
        }
        LogLine(LogPriority::Notice, "%s: closed %s: %s", protocol_, waiting.admission.peer.c_str(),
                refusal.c_str());
        waiting.connection->Close();
    }

    // Half the descriptors stay for the sessions and their devices.
    size_t RoomCapacity() const {
        return std::min({limits_.capacity, kPollMaxSockets - 1,
                         std::max<size_t>(SockDescriptorLimit() / 2, 1)});
    }

    void Dismiss(const char* reason) {
        LogLine(LogPriority::Notice, "%s: closed %s: %s", protocol_,
                room_.front().admission.peer.c_str(), reason);
        room_.front().connection->Close();
        room_.pop_front();
    }

    void StartSession(const std::shared_ptr<CBlockingSocket>& connection,
                      const SessionAdmission& admission) {
        const char* protocol = protocol_;
        if (StartThread([connection, admission, protocol, session = session_] {
                try {
                    session(*connection, admission);
                } catch (...) {
                    LogLine(LogPriority::Error, "%s: session of %s failed", protocol,
                            admission.peer.c_str());
                }
                connection->Close();
            }))
            return;
        LogLine(LogPriority::Error, "%s: closed %s: no thread for its session", protocol_,
                admission.peer.c_str());
        connection->Close();
    }

    CBlockingSocket& listener_;
    const char* const protocol_;
    const ConnectionSession& session_;
    const AcceptLoopLimits limits_;
    std::deque<Waiting> room_;
    std::vector<SocketHandle> handles_;
    int published_ = 0;
    std::unique_ptr<bool[]> readable_{new bool[kPollMaxSockets]};
};

}  // namespace

namespace {

// One attempt at listening on address; the failure logged as a warning
// when another attempt follows, else as an error.
bool TryListen(CBlockingSocket& listener, const SockAddr& address, bool dualStack,
               const char* protocol, const std::string& where, bool lastTry) {
    try {
        listener.Create(kSockStream, address.family);
        if (dualStack && !SockSetDualStack(listener.Handle()))
            throw CBlockingSocketException("Dual-stack");
        listener.Bind(address);
        listener.Listen();
        return true;
    } catch (const CBlockingSocketException& e) {
        const int code = e.ErrorCode();
        const char* why = code == kWsaEaddrinuse ? " (address in use)"
                          : code == kWsaEacces   ? " (permission denied)"
                                                 : "";
        LogLine(lastTry ? LogPriority::Error : LogPriority::Warning,
                "%s: cannot listen on %s: %s error %d%s%s", protocol, where.c_str(),
                e.Operation().c_str(), code, why, lastTry ? "" : "; IPv4 only");
        listener.Close();
        return false;
    }
}

}  // namespace

bool ListenOn(CBlockingSocket& listener, uint16_t port, const char* protocol) {
    if (!SockStartup()) {
        LogLine(LogPriority::Error, "%s: cannot listen on TCP %u: no socket library", protocol,
                static_cast<unsigned>(port));
        return false;
    }
    const std::string portText = std::to_string(port);
    // Any local address of both families on one socket; where the machine
    // has no IPv6, any IPv4 address as before.
    SockAddr any6;
    any6.family = kAfInet6;
    any6.portBe = HostToNet16(port);
    if (TryListen(listener, any6, true, protocol, "[::]:" + portText, false)) {
        LogLine(LogPriority::Info, "%s: listening on [::]:%u (IPv6 and IPv4)", protocol,
                static_cast<unsigned>(port));
        return true;
    }
    SockAddr any4;
    any4.family = kAfInet;
    any4.portBe = HostToNet16(port);
    if (!TryListen(listener, any4, false, protocol, "0.0.0.0:" + portText, true)) return false;
    LogLine(LogPriority::Info, "%s: listening on 0.0.0.0:%u", protocol,
            static_cast<unsigned>(port));
    return true;
}

bool StartListenerThread(uint16_t port, const std::string& name, const ConnectionSession& session,
                         const AcceptLoopLimits& limits) {
    // Held by its accept thread, which never ends.
    auto listener = std::make_shared<CBlockingSocket>(SocketVariant::Server);
    if (!ListenOn(*listener, port, name.c_str())) return false;
    if (StartThread([listener, name, session, limits] {
            RunAcceptLoop(*listener, name.c_str(), session, limits);
        }))
        return true;
    LogLine(LogPriority::Error, "%s: no thread for its accept loop", name.c_str());
    listener->Close();
    return false;
}

void RunAcceptLoop(CBlockingSocket& listener, const char* protocol,
                   const ConnectionSession& session, const AcceptLoopLimits& limits) {
    CAcceptLoop loop(listener, protocol, session, limits);
    loop.Run();
}

}  // namespace tovl
