// The client's socket-to-driver reader: the input is what the server sends
// on a session's connection. The reader runs on its own thread over an
// in-memory virtual port; once it has taken every byte the connection is
// reset, so a run never waits on a time-out. The port must
// be given a prefix of the PL_DATA payloads and of the PL_FLOW_CONTROL line
// changes, in order, and all of them when every message was whole and known.
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "client/client_session.h"
#include "client/data_pumps.h"
#include "client/virtual_port.h"
#include "net/port_link.h"
#include "test_support/loopback.h"

using namespace tovl;

namespace {

constexpr uint32_t kPort = 3;

// Keeps what the reader passes on; everything else answers plainly.
class CRecordingPort final : public CVirtualPort {
  public:
    std::vector<uint8_t> written;
    std::vector<uint32_t> lines;
    CEvent opened;

    uint32_t Number() const override { return kPort; }
    CEvent& Opened() override { return opened; }
    bool IsOpen() override { return true; }
    uint32_t UseCount() override { return 0; }
    void ServeUse(uint32_t) override {}
    bool EndedUseWithData(uint32_t, uint32_t*) override { return false; }
    void HangUp() override {}
    std::unique_ptr<CPortWatch> Watch(CEvent&) override { abort(); }
    uint32_t Read(uint8_t*, uint32_t) override { return 0; }
    bool Pending(uint32_t* count) override {
        *count = 0;
        return true;
    }
    void Settings(PortLinkSettings*) override {}
    void Lines(uint32_t*) override {}
    void SessionSetUp() override {}
    uint32_t Write(const uint8_t* data, uint32_t size) override {
        written.insert(written.end(), data, data + size);
        return size;
    }
    bool TakeInputFlush() override { return false; }
    void SetLines(uint32_t mask) override { lines.push_back(mask); }
};

// What the port is given when the reader reads the input as the server's
// message stream. whole: every message complete and of a code the client
// acts on.
struct Expected {
    std::vector<uint8_t> data;
    std::vector<uint32_t> lines;
    bool whole = true;
};

Expected Parse(const uint8_t* p, size_t size) {
    Expected out;
    size_t at = 0;
    while (at < size) {
        if (size - at < 4) return out.whole = false, out;
        const uint32_t code = DecodeU32(p + at);
        at += 4;
        if (code != PL_DATA && code != PL_FLOW_CONTROL) {
            out.whole = false;
            continue;
        }
        if (size - at < 4) return out.whole = false, out;
        const uint32_t field = DecodeU32(p + at);
        at += 4;
        if (code == PL_FLOW_CONTROL) {
            out.lines.push_back(ModemStatusToLineMask(field) & 0xFF);
            continue;
        }
        const size_t take = std::min<size_t>(field, size - at);
        out.data.insert(out.data.end(), p + at, p + at + take);
        at += take;
        if (take < field) out.whole = false;
    }
    return out;
}

template <typename T>
bool IsPrefix(const std::vector<T>& part, const std::vector<T>& whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

int QueuedBytes(SocketHandle s, unsigned long request) {
    int n = 0;
    return ioctl(s, request, &n) == 0 ? n : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static testing_support::LoopbackListener listener;
    static const auto port = std::make_shared<CRecordingPort>();
    port->written.clear();
    port->lines.clear();

    // One session context kept across runs: the socket of the last run is
    // still held, so Create does not pause as it does for an empty object;
    // the old handle goes with it.
    static ClientSessionContext session;
    session.LocalPort = kPort;
    session.port = port;
    CBlockingSocket& socket = session.socket;
    socket.Create();
    socket.Connect(testing_support::LoopbackAddress(listener.port));
    const SocketHandle server = listener.AcceptOne();
    if (server == kInvalidSocket) abort();

    session.dropped.store(false);
    std::atomic<bool> running{true};
    std::thread reader([&running] {
        SocketToDriverPump(session);
        running.store(false);
    });
    testing_support::SendAll(server, data, static_cast<int>(size));
    // Everything delivered and taken off the socket (or the reader ended).
    while (running.load() &&
           (QueuedBytes(server, SIOCOUTQNSD) != 0 || QueuedBytes(socket.Handle(), FIONREAD) != 0))
        std::this_thread::yield();
    const linger reset{1, 0};
    setsockopt(server, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    testing_support::CloseRaw(server);
    reader.join();

    const Expected expected = Parse(data, size);
    if (!IsPrefix(port->written, expected.data)) abort();
    if (!IsPrefix(port->lines, expected.lines)) abort();
    if (expected.whole && (port->written != expected.data || port->lines != expected.lines))
        abort();
    return 0;
}
