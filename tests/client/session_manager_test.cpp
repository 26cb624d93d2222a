// The session manager: the open exchange against a raw loopback peer, the
// wait loop's choice of port, and the close of a port whose state cannot be
// read.
#include "client/session_manager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "client/client_port.h"
#include "client/fake_vexa_binding.h"
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

class SessionManagerTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetClientPorts(); }
    void TearDown() override {
        PortSocket(3).Close();
        ResetClientPorts();
    }

    CFakeVexaBinding driver_;
    TempRegistry registry_;
};

}  // namespace

TEST_F(SessionManagerTest, ConnectPerformsTheOpenExchangeInOrder) {
    driver_.AddPort(3);
    driver_.With(3, [](auto& p) { EncodeU32(19200, p.settingsToReport.bytes + 8); });
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
    EXPECT_EQ(ConnectPort(7, "127.0.0.1", listener.port, 3), 0u);
    server.join();
    EXPECT_EQ(seen,
              (std::vector<uint32_t>{PL_OPEN, 7, 0xFFFFFFFF, 0, 0, 0, 0, PL_SETTINGS, 19200}));
    driver_.With(3, [](auto& p) { EXPECT_EQ(p.lineMasksSet, (std::vector<uint32_t>{0x25})); });
    EXPECT_TRUE(PortSocket(3).HoldsSocket());
}

TEST_F(SessionManagerTest, RefusedOpenPrintsTheMessageAndClosesTheSocket) {
    driver_.AddPort(3);
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
    EXPECT_EQ(ConnectPort(2, "127.0.0.1", listener.port, 3), 1u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR open remote real ports!\n");
    server.join();
    EXPECT_FALSE(PortSocket(3).HoldsSocket());
}

TEST_F(SessionManagerTest, MissingTimeoutsEndTheConnectAfterTheOpenReply) {
    driver_.AddPort(3);
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
    EXPECT_EQ(ConnectPort(2, "127.0.0.1", listener.port, 3), 1u);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR open registry key!\n");
    server.join();
    EXPECT_FALSE(PortSocket(3).HoldsSocket());
}

TEST_F(SessionManagerTest, FailedOpenStateQueryCountsAsClosed) {
    auto& port = driver_.AddPort(3);
    port.openStateFails = true;
    ClientPorts[0].LocalPort = 3;
    ClientPorts[0].OpenedEvent = VexaOpenOpenedEvent(3);
    ClientPorts[0].StopEventObject.Create(CEvent::ResetMode::Auto, false);
    ClientPorts[0].StopEvent.store(&ClientPorts[0].StopEventObject);
    ClientPortCount = 1;
    std::thread loop([] { RunPortLoop(); });
    port.opened.Set();
    EXPECT_EQ(ClientPorts[0].StopEventObject.Wait(5000), 0);
    RequestPortLoopEnd();
    port.opened.Set();
    loop.join();
}

TEST_F(SessionManagerTest, MoreThan64PortsAreAllServedLowestRecordFirst) {
    const uint32_t count = 70;
    for (uint32_t k = 0; k < count; ++k) {
        driver_.AddPort(k + 1);
        ClientPorts[k].LocalPort = k + 1;
        ClientPorts[k].OpenedEvent = VexaOpenOpenedEvent(k + 1);
        ASSERT_TRUE(ClientPorts[k].OpenedEvent.IsValid());
    }
    ClientPortCount = count;
    // Two openings signalled together, one beyond the first 64.
    driver_.Raw(70).opened.Set();
    driver_.Raw(3).opened.Set();
    std::thread loop([] { RunPortLoop(); });
    for (int i = 0; i < 500 && driver_.OpenStateOrder().size() < 2; ++i) SleepMs(10);
    EXPECT_EQ(driver_.OpenStateOrder(), (std::vector<uint32_t>{3, 70}));
    RequestPortLoopEnd();
    loop.join();
    // Wake the watchers so they see the end.
    driver_.Raw(1).opened.Set();
    driver_.Raw(65).opened.Set();
    for (int i = 0; i < 500 && PortLoopWatchers() != 0; ++i) SleepMs(10);
    EXPECT_EQ(PortLoopWatchers(), 0u);
}

TEST_F(SessionManagerTest, NewSessionWaitsForTheOldPumpsToEnd) {
    auto& port = driver_.AddPort(3);
    port.openState = 1;
    registry_.SetValue(kSettings, "PORT3", "0;0;0;0;0");
    LoopbackListener listener;
    ClientPorts[0].LocalPort = 3;
    strcpy(ClientPorts[0].RemoteAddress, "127.0.0.1");
    ClientPorts[0].RemoteTcpPort = listener.port;
    ClientPorts[0].RemoteComPort = 2;
    ClientPorts[0].OpenedEvent = VexaOpenOpenedEvent(3);
    ClientPortCount = 1;
    // An old session still ending: its stop is gone, one pump still runs.
    ClientPorts[0].PumpsRunning.store(1);
    std::thread loop([] { RunPortLoop(); });
    port.opened.Set();
    SleepMs(2500);
    // No connect yet: the old pump may still read slot 3's socket.
    EXPECT_FALSE(PortSocket(3).HoldsSocket());
    ClientPorts[0].PumpsRunning.fetch_sub(1);
    SocketHandle s = listener.AcceptOne();
    ASSERT_NE(s, kInvalidSocket);
    EXPECT_EQ(RecvU32(s), PL_OPEN);
    EXPECT_EQ(RecvU32(s), 2u);
    SendU32s(s, {0, 0});
    uint8_t rest[48];
    EXPECT_TRUE(RecvAll(s, rest, sizeof rest));
    // The new session runs: end it and the loop.
    for (int i = 0; i < 500 && ClientPorts[0].StopEvent.load() == nullptr; ++i) SleepMs(10);
    ASSERT_NE(ClientPorts[0].StopEvent.load(), nullptr);
    RequestPortLoopEnd();
    port.opened.Set();
    loop.join();
    ClientPorts[0].StopEvent.load()->Set();
    uint8_t close[4];
    EXPECT_TRUE(RecvAll(s, close, 4));
    EXPECT_EQ(DecodeU32(close), PL_CLOSE);
    for (int i = 0; i < 500 && ClientPorts[0].PumpsRunning.load() != 0; ++i) SleepMs(10);
    EXPECT_EQ(ClientPorts[0].PumpsRunning.load(), 0);
    CloseRaw(s);
}
