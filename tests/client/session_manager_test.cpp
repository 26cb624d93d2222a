// The session manager and a session's set-up: the open exchange against a
// raw loopback peer, the wait loop's choice of port, the close of a port
// whose state cannot be read, and a new session held back until the old
// one's pumps have ended.
#include "client/session_manager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "client/fake_virtual_port.h"
#include "net/port_link.h"
#include "platform/thread.h"
#include "test_support/loopback.h"
#include "test_support/temp_registry.h"

using namespace tovl;
using namespace testing_support;

namespace {

const char kSettings[] = "Software\\Dravik\\TOVL\\Settings";

uint32_t RecvU32(SocketHandle s) {
    uint8_t b[4] = {};
    EXPECT_TRUE(RecvAll(s, b, 4));
    return DecodeU32(b);
}

void SendU32s(SocketHandle s, std::initializer_list<uint32_t> values) {
    for (uint32_t v : values) {
        uint8_t b[4];
        EncodeU32(v, b);
        SendAll(s, b, 4);
    }
}

ClientPort Configured(uint32_t n, uint16_t tcpPort = 0) {
    ClientPort port;
    port.LocalPort = n;
    strcpy(port.RemoteAddress, "127.0.0.1");
    port.RemoteTcpPort = tcpPort;
    port.RemoteComPort = 2;
    return port;
}

// The manager of the configured ports, each on the scripted driver's port.
std::unique_ptr<CSessionManager> Manager(CFakeVirtualPorts& fake, std::vector<ClientPort> ports) {
    std::vector<std::shared_ptr<CVirtualPort>> virtualPorts;
    virtualPorts.reserve(ports.size());
    for (const ClientPort& port : ports) virtualPorts.push_back(fake.Shared(port.LocalPort));
    return std::make_unique<CSessionManager>(std::move(ports), std::move(virtualPorts));
}

template <typename Pred>
bool WaitFor(Pred pred, int ms = 5000) {
    for (int i = 0; i < ms / 10 && !pred(); ++i) SleepMs(10);
    return pred();
}

class SessionManagerTest : public ::testing::Test {
  protected:
    CFakeVirtualPorts ports_;
    TempRegistry registry_;
    CBlockingSocket socket_{SocketVariant::Client};
    // Port 3, once the test has made it.
    CVirtualPort& Port3() { return ports_.Raw(3); }
};

}  // namespace

TEST_F(SessionManagerTest, ConnectPerformsTheOpenExchangeInOrder) {
    ports_.AddPort(3);
    ports_.With(3, [](auto& p) { p.settingsToReport.BaudRate = 19200; });
    registry_.SetValue(kSettings, "PORT3", "-1;0;0;0;0");
    LoopbackListener listener;
    std::vector<uint32_t> seen;
    std::thread server([&] {
        SocketHandle s = listener.AcceptOne();
        seen.push_back(RecvU32(s));
        seen.push_back(RecvU32(s));
        SendU32s(s, {0, PL_LINE_DTR | PL_LINE_RTS | PL_LINE_DCD});
        for (int i = 0; i < 6; ++i) seen.push_back(RecvU32(s));
        uint8_t record[24];
        EXPECT_TRUE(RecvAll(s, record, 24));
        seen.push_back(DecodeSettings(record).BaudRate);
        CloseRaw(s);
    });
    EXPECT_EQ(ConnectPort(socket_, Port3(), 7, "127.0.0.1", listener.port, 3), 0u);
    server.join();
    EXPECT_EQ(seen,
              (std::vector<uint32_t>{PL_OPEN, 7, 0xFFFFFFFF, 0, 0, 0, 0, PL_SETTINGS, 19200}));
    ports_.With(3, [](auto& p) { EXPECT_EQ(p.lineMasksSet, (std::vector<uint32_t>{0x25})); });
    EXPECT_TRUE(socket_.HoldsSocket());
}

TEST_F(SessionManagerTest, RefusedOpenPrintsTheMessageAndClosesTheSocket) {
    ports_.AddPort(3);
    LoopbackListener listener;
    std::thread server([&] {
        SocketHandle s = listener.AcceptOne();
        RecvU32(s);
        RecvU32(s);
        SendU32s(s, {PL_OPEN_FAILED});
        uint8_t b;
        // The client closes without sending anything more.
        EXPECT_FALSE(RecvAll(s, &b, 1));
        CloseRaw(s);
    });
    testing::internal::CaptureStdout();
    EXPECT_EQ(ConnectPort(socket_, Port3(), 2, "127.0.0.1", listener.port, 3), 1u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR open remote real ports!\n");
    server.join();
    EXPECT_FALSE(socket_.HoldsSocket());
}

TEST_F(SessionManagerTest, MissingTimeoutsEndTheConnectAfterTheOpenReply) {
    ports_.AddPort(3);
    LoopbackListener listener;
    std::thread server([&] {
        SocketHandle s = listener.AcceptOne();
        RecvU32(s);
        RecvU32(s);
        SendU32s(s, {0, 0});
        uint8_t b;
        EXPECT_FALSE(RecvAll(s, &b, 1));  // closed, no PL_CLOSE
        CloseRaw(s);
    });
    testing::internal::CaptureStdout();
    EXPECT_EQ(ConnectPort(socket_, Port3(), 2, "127.0.0.1", listener.port, 3), 1u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR open registry key!\n");
    server.join();
    EXPECT_FALSE(socket_.HoldsSocket());
}

TEST_F(SessionManagerTest, ServerNameThatDoesNotResolveFailsLikeAnUnreachableServer) {
    ports_.AddPort(3);
    testing::internal::CaptureStdout();
    EXPECT_EQ(ConnectPortToHost(socket_, Port3(), 2, "nothere.invalid", 4445, 3), 1u);
    // As for a server that cannot be reached: nothing on standard output.
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(socket_.HoldsSocket());
}

TEST_F(SessionManagerTest, ServerByNameIsResolvedAndConnected) {
    ports_.AddPort(3);
    registry_.SetValue(kSettings, "PORT3", "-1;0;0;0;0");
    LoopbackListener listener;
    std::thread server([&] {
        SocketHandle s = listener.AcceptOne();
        EXPECT_EQ(RecvU32(s), PL_OPEN);
        EXPECT_EQ(RecvU32(s), 7u);
        SendU32s(s, {0, 0});
        uint8_t rest[4 * 6 + 24];
        EXPECT_TRUE(RecvAll(s, rest, sizeof rest));
        CloseRaw(s);
    });
    // localhost may also name ::1, where nothing listens: that one is passed over.
    EXPECT_EQ(ConnectPortToHost(socket_, Port3(), 7, "localhost", listener.port, 3), 0u);
    server.join();
    EXPECT_TRUE(socket_.HoldsSocket());
}

TEST_F(SessionManagerTest, FailedOpenStateQueryCountsAsClosed) {
    auto& port = ports_.AddPort(3);
    port.openStateFails = true;
    std::vector<ClientPort> ports;
    ports.push_back(Configured(3));
    auto manager = Manager(ports_, std::move(ports));
    std::thread loop([&] { manager->Run(); });
    port.opened.Set();
    // Closed without a session: the use is ended at the port.
    EXPECT_TRUE(WaitFor([&] { return ports_.With(3, [](auto& p) { return p.hangUps; }) == 1; }));
    manager->RequestEnd();
    port.opened.Set();
    loop.join();
    EXPECT_EQ(manager->Session(0), nullptr);
}

TEST_F(SessionManagerTest, MoreThan64PortsAreAllServedLowestRecordFirst) {
    const uint32_t count = 70;
    std::vector<ClientPort> ports;
    for (uint32_t k = 0; k < count; ++k) {
        ports_.AddPort(k + 1);
        ports.push_back(Configured(k + 1));
        ASSERT_NE(ports_.Shared(k + 1), nullptr);
    }
    auto manager = Manager(ports_, std::move(ports));
    // Two openings signalled together, one beyond the first 64.
    ports_.Raw(70).opened.Set();
    ports_.Raw(3).opened.Set();
    std::thread loop([&] { manager->Run(); });
    EXPECT_TRUE(WaitFor([&] { return ports_.OpenStateOrder().size() >= 2; }));
    EXPECT_EQ(ports_.OpenStateOrder(), (std::vector<uint32_t>{3, 70}));
    manager->RequestEnd();
    loop.join();
    const uint32_t watchers = manager->Watchers();
    EXPECT_EQ(watchers, 2u);
    // The manager may go before its watchers notice the end.
    manager.reset();
    ports_.Raw(1).opened.Set();
    ports_.Raw(65).opened.Set();
    SleepMs(200);
}

TEST_F(SessionManagerTest, NewSessionWaitsForTheOldPumpsToEnd) {
    auto& port = ports_.AddPort(3);
    port.openState = 1;
    port.uses = 1;
    registry_.SetValue(kSettings, "PORT3", "0;0;0;0;0");
    LoopbackListener listener;
    std::vector<ClientPort> ports;
    ports.push_back(Configured(3, listener.port));
    auto manager = Manager(ports_, std::move(ports));
    std::thread loop([&] { manager->Run(); });
    port.opened.Set();
    SocketHandle s = listener.AcceptOne();
    ASSERT_NE(s, kInvalidSocket);
    EXPECT_EQ(RecvU32(s), PL_OPEN);
    EXPECT_EQ(RecvU32(s), 2u);
    SendU32s(s, {0, 0});
    uint8_t rest[48];
    EXPECT_TRUE(RecvAll(s, rest, sizeof rest));
    // The first session's reader is held in the port by data from the server.
    ports_.HoldWrites(3, true);
    SendU32s(s, {PL_DATA, 1});
    SendAll(s, "x", 1);
    // A new use: the first session is stopped, its writer ends it.
    ports_.With(3, [](auto& p) { p.uses = 2; });
    port.opened.Set();
    uint8_t close[4];
    EXPECT_TRUE(RecvAll(s, close, 4));
    EXPECT_EQ(DecodeU32(close), PL_CLOSE);
    // No second connection while the old reader still runs.
    EXPECT_EQ(SockWait(listener.handle, false, 2), 0);
    ports_.HoldWrites(3, false);
    SocketHandle s2 = listener.AcceptOne();
    ASSERT_NE(s2, kInvalidSocket);
    EXPECT_EQ(RecvU32(s2), PL_OPEN);
    EXPECT_EQ(RecvU32(s2), 2u);
    SendU32s(s2, {0, 0});
    // The open exchange is complete before the loop is ended, so the second
    // session has been started.
    EXPECT_TRUE(RecvAll(s2, rest, sizeof rest));
    // The second session ends with the loop's port closed.
    manager->RequestEnd();
    port.opened.Set();
    loop.join();
    ASSERT_NE(manager->Session(0), nullptr);
    EXPECT_EQ(manager->Session(0)->Use(), 2u);
    manager->Session(0)->Stop();
    EXPECT_EQ(manager->Session(0)->Ended().Wait(5000), 0);
    CloseRaw(s);
    CloseRaw(s2);
}

TEST_F(SessionManagerTest, APortWhoseOpenedEventCannotBeWaitedForEndsTheLoop) {
    // Port 9's opened event is missing.
    ports_.AddPort(9).opened.Close();
    std::vector<ClientPort> ports;
    ports.push_back(Configured(9));
    auto manager = Manager(ports_, std::move(ports));
    // Returns instead of retrying the wait for ever.
    EXPECT_EQ(manager->Run(), 1u);
}
