// A session's pumps between a scripted virtual port and a raw loopback peer
// standing in for the server, and the session object around them.
#include "client/data_pumps.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "client/client_session.h"
#include "client/fake_virtual_port.h"
#include "net/port_link.h"
#include "platform/thread.h"
#include "test_support/loopback.h"

using namespace tovl;
using namespace testing_support;

namespace {

constexpr uint32_t kPort = 3;

uint32_t U32At(const uint8_t* p) {
    return DecodeU32(p);
}

std::vector<uint8_t> U32s(std::initializer_list<uint32_t> values) {
    std::vector<uint8_t> out;
    for (uint32_t v : values) {
        uint8_t b[4];
        EncodeU32(v, b);
        out.insert(out.end(), b, b + 4);
    }
    return out;
}

class PumpTest : public ::testing::Test {
  protected:
    void SetUp() override { Connect(kPort); }

    void TearDown() override {
        if (session_->Serving()) session_->Stop();
        EXPECT_TRUE(WaitPumpsEnded());
        Socket().Close();
        CloseRaw(peer_);
    }

    // A session of virtual port n whose socket is connected to peer_.
    void Connect(uint32_t n) {
        ClientPort port;
        port.LocalPort = n;
        session_ = std::make_unique<CClientSession>(port, ports_.Shared(n), 0);
        Socket().Create();
        Socket().Connect(LoopbackAddress(listener_.port));
        peer_ = listener_.AcceptOne();
        ASSERT_NE(peer_, kInvalidSocket);
    }

    CBlockingSocket& Socket() { return session_->Context()->socket; }
    void StartPumps() { session_->Start(); }
    void Stop() { session_->Stop(); }
    bool WaitPumpsEnded(uint32_t ms = 15000) { return session_->Ended().Wait(ms) == 0; }

    uint32_t RecvU32() {
        uint8_t b[4] = {};
        EXPECT_TRUE(RecvAll(peer_, b, 4));
        return U32At(b);
    }

    std::vector<uint8_t> RecvBytes(int n) {
        std::vector<uint8_t> b(static_cast<size_t>(n));
        EXPECT_TRUE(RecvAll(peer_, b.data(), n));
        return b;
    }

    // True when the peer sees the connection end (nothing more arrives).
    bool PeerSeesEnd() {
        uint8_t b;
        return !RecvAll(peer_, &b, 1, 5);
    }

    template <typename Pred>
    bool WaitFor(Pred pred, int ms = 5000) {
        for (int i = 0; i < ms / 10; ++i) {
            if (pred()) return true;
            SleepMs(10);
        }
        return pred();
    }

    CFakeVirtualPorts ports_;
    CFakeVirtualPorts::Port& port_ = ports_.AddPort(kPort);
    LoopbackListener listener_;
    SocketHandle peer_ = kInvalidSocket;
    std::unique_ptr<CClientSession> session_;
};

}  // namespace

TEST_F(PumpTest, DataEventWithNothingWaitingSendsAnEmptyDataMessage) {
    StartPumps();
    port_.data.Set();
    EXPECT_EQ(RecvU32(), PL_DATA);
    EXPECT_EQ(RecvU32(), 0u);
    Stop();
    EXPECT_EQ(RecvU32(), PL_CLOSE);
    EXPECT_TRUE(PeerSeesEnd());
}

TEST_F(PumpTest, PendingBytesAreDrainedInMessagesOfAtMost1024) {
    ports_.With(kPort, [](auto& p) {
        for (int i = 0; i < 2500; ++i) p.readable.push_back(static_cast<uint8_t>(i * 7));
        p.pendingScript = {1476, 452, 0};
    });
    StartPumps();
    port_.data.Set();
    std::vector<uint8_t> all;
    for (uint32_t expected : {1024u, 1024u, 452u}) {
        EXPECT_EQ(RecvU32(), PL_DATA);
        ASSERT_EQ(RecvU32(), expected);
        auto body = RecvBytes(static_cast<int>(expected));
        all.insert(all.end(), body.begin(), body.end());
    }
    for (int i = 0; i < 2500; ++i) ASSERT_EQ(all[i], static_cast<uint8_t>(i * 7));
    Stop();
    EXPECT_EQ(RecvU32(), PL_CLOSE);
}

TEST_F(PumpTest, PendingBytesNotGivenYetAreReadAgainWithoutAnEmptyMessage) {
    ports_.With(kPort, [](auto& p) {
        p.readable = {'a', 'b', 'c'};
        p.readsWithheld = 2;
        p.pendingScript = {3, 3, 0};
    });
    StartPumps();
    port_.data.Set();
    EXPECT_EQ(RecvU32(), PL_DATA);
    ASSERT_EQ(RecvU32(), 3u);
    EXPECT_EQ(RecvBytes(3), (std::vector<uint8_t>{'a', 'b', 'c'}));
    Stop();
    EXPECT_EQ(RecvU32(), PL_CLOSE);
}

TEST_F(PumpTest, DataSignalledWithTheStopGoesOutFirstThenTheSessionEnds) {
    ports_.With(kPort, [](auto& p) { p.readable = {'h', 'e', 'l', 'l', 'o'}; });
    StartPumps();
    port_.data.Set();
    Stop();
    EXPECT_EQ(RecvU32(), PL_DATA);
    EXPECT_EQ(RecvU32(), 5u);
    EXPECT_EQ(RecvBytes(5), (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(RecvU32(), PL_CLOSE);
    EXPECT_TRUE(PeerSeesEnd());
    EXPECT_TRUE(WaitPumpsEnded());
    EXPECT_FALSE(session_->Serving());
    EXPECT_FALSE(Socket().HoldsSocket());
}

TEST_F(PumpTest, SettingsEventSendsCodeAndTheRecord) {
    ports_.With(kPort, [](auto& p) {
        p.settingsToReport.BaudRate = 115200;
        p.settingsToReport.StopBits = 2;
    });
    StartPumps();
    port_.settings.Set();
    EXPECT_EQ(RecvU32(), PL_SETTINGS);
    PortLinkSettings s = DecodeSettings(RecvBytes(24).data());
    EXPECT_EQ(s.BaudRate, 115200u);
    EXPECT_EQ(s.StopBits, 2);
    Stop();
    EXPECT_EQ(RecvU32(), PL_CLOSE);
}

TEST_F(PumpTest, FlowControlSendsTheMaskReadBeforeThePause) {
    ports_.With(kPort, [](auto& p) { p.linesToReport = PL_LINE_DTR | PL_LINE_RTS; });
    StartPumps();
    const auto start = std::chrono::steady_clock::now();
    port_.flowControl.Set();
    SleepMs(150);
    ports_.With(kPort, [](auto& p) { p.linesToReport = 0; });
    EXPECT_EQ(RecvU32(), PL_FLOW_CONTROL);
    EXPECT_EQ(RecvU32(), 0x05u);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    Stop();
    EXPECT_EQ(RecvU32(), PL_CLOSE);
}

TEST_F(PumpTest, FailedPendingQueryEndsTheDrain) {
    ports_.With(kPort, [](auto& p) {
        p.readable.assign(2000, 0x55);
        p.pendingFails = true;
    });
    StartPumps();
    port_.data.Set();
    EXPECT_EQ(RecvU32(), PL_DATA);
    EXPECT_EQ(RecvU32(), 1024u);
    RecvBytes(1024);
    Stop();
    // Back to waiting after one message: the next thing sent is the close.
    EXPECT_EQ(RecvU32(), PL_CLOSE);
}

TEST_F(PumpTest, ServerMessagesReachThePortAndUnknownCodesAreFourBytes) {
    StartPumps();
    auto bytes = U32s(
        {PL_FLOW_CONTROL, 0xB0, PL_SETTINGS, PL_OPEN, PL_CLOSE, PL_FLOW_CONTROL, 0x40, PL_DATA, 3});
    bytes.insert(bytes.end(), {'a', 'b', 'c'});
    ASSERT_TRUE(SendAll(peer_, bytes.data(), static_cast<int>(bytes.size())));
    EXPECT_TRUE(
        WaitFor([&] { return ports_.With(kPort, [](auto& p) { return p.written.size(); }) == 3; }));
    ports_.With(kPort, [](auto& p) {
        EXPECT_EQ(p.written, (std::vector<uint8_t>{'a', 'b', 'c'}));
        EXPECT_EQ(p.lineMasksSet, (std::vector<uint32_t>{0x2A, 0}));
    });
}

TEST_F(PumpTest, LargeDataMessageIsDeliveredInBoundedPieces) {
    StartPumps();
    const uint32_t length = 200000;
    auto bytes = U32s({PL_DATA, length});
    for (uint32_t i = 0; i < length; ++i) bytes.push_back(static_cast<uint8_t>(i % 251));
    auto tail = U32s({PL_FLOW_CONTROL, 0x80});
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    std::thread sender([&] { SendAll(peer_, bytes.data(), static_cast<int>(bytes.size())); });
    EXPECT_TRUE(WaitFor(
        [&] { return ports_.With(kPort, [](auto& p) { return p.lineMasksSet.size(); }) == 1; }));
    sender.join();
    ports_.With(kPort, [&](auto& p) {
        ASSERT_EQ(p.written.size(), length);
        for (uint32_t i = 0; i < length; ++i)
            ASSERT_EQ(p.written[i], static_cast<uint8_t>(i % 251));
        for (uint32_t size : p.writeSizes) EXPECT_LE(size, kPayloadChunk);
        EXPECT_EQ(p.lineMasksSet, (std::vector<uint32_t>{PL_LINE_DCD}));
    });
}

// The session object: its ended event, its stop, a dropped connection, and
// pumps that outlive the object.
TEST(ClientSessionEnd, OnlyTheLastPumpToFinishSetsEnded) {
    ClientPort port;
    CFakeVirtualPorts ports;
    ports.AddPort(kPort);
    CClientSession session(port, ports.Shared(kPort), 0);
    ClientSessionContext& s = *session.Context();
    s.pumpsRunning.store(2);
    PumpFinished(s);
    EXPECT_EQ(s.ended.Wait(0), kWaitTimeout);
    PumpFinished(s);
    EXPECT_EQ(s.ended.Wait(0), 0);
    EXPECT_TRUE(session.HasEnded());
}

TEST_F(PumpTest, StopEndsBothPumpsAfterPlClose) {
    StartPumps();
    EXPECT_TRUE(session_->Serving());
    EXPECT_FALSE(session_->HasEnded());
    Stop();
    EXPECT_EQ(RecvU32(), PL_CLOSE);
    EXPECT_TRUE(PeerSeesEnd());
    EXPECT_TRUE(WaitPumpsEnded());
    EXPECT_EQ(session_->Context()->pumpsRunning.load(), 0);
    EXPECT_FALSE(session_->Serving());
    EXPECT_FALSE(Socket().HoldsSocket());
    EXPECT_EQ(ports_.With(kPort, [](auto& p) { return p.hangUps; }), 0u);
}

TEST_F(PumpTest, DroppedConnectionEndsTheSessionWithoutPlCloseAndHangsUp) {
    StartPumps();
    CloseRaw(peer_);
    peer_ = kInvalidSocket;
    // No stop from the manager: the reader sees the end and the writer ends.
    EXPECT_TRUE(WaitPumpsEnded());
    EXPECT_TRUE(session_->Context()->dropped.load());
    EXPECT_FALSE(session_->Serving());
    EXPECT_EQ(ports_.With(kPort, [](auto& p) { return p.hangUps; }), 1u);
}

TEST_F(PumpTest, AbortedConnectionEndsTheSessionWithoutTheStop) {
    StartPumps();
    SockSetAbortiveClose(peer_);
    CloseRaw(peer_);
    peer_ = kInvalidSocket;
    EXPECT_TRUE(WaitFor([&] {
        port_.data.Set();
        return session_->HasEnded();
    }));
    EXPECT_FALSE(Socket().HoldsSocket());
    EXPECT_EQ(ports_.With(kPort, [](auto& p) { return p.hangUps; }), 1u);
}

TEST_F(PumpTest, PumpsKeepTheirStateWhenTheSessionObjectGoesFirst) {
    StartPumps();
    std::weak_ptr<ClientSessionContext> context = session_->Context();
    session_->Stop();
    ClientPort port;
    port.LocalPort = kPort;
    // Replaced at once: the old pumps still finish their session.
    session_ = std::make_unique<CClientSession>(port, ports_.Shared(kPort), 0);
    EXPECT_EQ(RecvU32(), PL_CLOSE);
    EXPECT_TRUE(PeerSeesEnd());
    EXPECT_TRUE(WaitFor([&] { return context.expired(); }));
    // The fixture's session never ran.
    session_->Context()->ended.Set();
}
