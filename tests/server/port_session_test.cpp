// The port session and its reader against an in-memory port: the session
// runs on its own thread with the accepted end of a loopback connection, the
// test is the client on the other end.
#include "server/port_session.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/port_link.h"
#include "platform/thread.h"
#include "server/fake_serial_port.h"
#include "test_support/loopback.h"
#include "test_support/socket_shutdown.h"
#include "test_support/temp_registry.h"

using namespace tovl;
using namespace testing_support;

namespace {

std::string U32(uint32_t v) {
    uint8_t b[4];
    EncodeU32(v, b);
    return std::string(reinterpret_cast<char*>(b), 4);
}

// A connected pair: `server` is the accepted CBlockingSocket, `client` a
// plain socket.
struct Connection {
    CBlockingSocket listening{SocketVariant::Server};
    CBlockingSocket server{SocketVariant::Server};
    SocketHandle client = kInvalidSocket;

    Connection() {
        uint16_t port;
        {
            LoopbackListener probe;
            port = probe.port;
        }
        listening.Create();
        listening.Bind(LoopbackAddress(port));
        listening.Listen();
        client = ConnectFrom("127.0.0.1", port);
        SockAddrIn peer;
        listening.Accept(server, &peer);
    }
    ~Connection() {
        CloseRaw(client);
        listening.Close();
    }
};

class PortSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        registry_.SetValue("Software\\Dravik\\TOVL\\IpAddr", "127.0.0.1", "");
        port_ = std::make_shared<CFakeSerialPort>();
        session_ = std::thread([this] {
            RunPortSessionWith(link_.server,
                               [this](int n, CStatus* status) -> std::shared_ptr<CSerialPort> {
                                   opened_.push_back(n);
                                   if (n == 3) return port_;
                                   *status = CStatus(kErrorFileNotFound, "open");
                                   return nullptr;
                               });
            ended_ = true;
        });
    }

    void TearDown() override {
        CloseRaw(link_.client);
        link_.client = kInvalidSocket;
        session_.join();
    }

    void Send(const std::string& bytes) {
        ASSERT_TRUE(SendAll(link_.client, bytes.data(), static_cast<int>(bytes.size())));
    }
    uint32_t ReceiveU32(int seconds = 5) {
        uint8_t b[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        EXPECT_TRUE(RecvAll(link_.client, b, 4, seconds));
        return DecodeU32(b);
    }
    // True when the server sends anything (or closes) within seconds.
    bool SomethingArrives(int seconds) { return SockWait(link_.client, false, seconds) == 1; }

    // PL_OPEN for the fake's COM3 and the time-outs; returns the line mask.
    uint32_t Open() {
        Send(U32(PL_OPEN) + U32(3));
        EXPECT_EQ(ReceiveU32(), 0x1234u);
        uint32_t mask = ReceiveU32();
        Send(U32(0xFFFFFFFF) + U32(0) + U32(0) + U32(0) + U32(0));
        // A line change before the reader waits for one is not seen.
        for (int i = 0; i < 500 && !port_->ModemWaitPending(); ++i) SleepMs(10);
        EXPECT_TRUE(port_->ModemWaitPending());
        return mask;
    }

    // The client sees the connection close, the session has ended and the
    // port is closed.
    void ExpectEndedWithThePortClosed() {
        char c;
        EXPECT_FALSE(RecvAll(link_.client, &c, 1, 5));
        session_.join();
        session_ = std::thread([] {});
        EXPECT_TRUE(ended_);
        EXPECT_TRUE(port_->Snapshot().closed);
    }

    // Waits until the fake has seen what the session was told.
    template <typename Pred>
    bool Eventually(Pred pred) {
        for (int i = 0; i < 500; ++i) {
            if (pred(port_->Snapshot())) return true;
            SleepMs(10);
        }
        return false;
    }

    TempRegistry registry_;
    Connection link_;
    std::shared_ptr<CFakeSerialPort> port_;
    std::vector<int> opened_;
    std::atomic<bool> ended_{false};
    std::thread session_;
};

TEST_F(PortSessionTest, OpenSequenceRepliesWithHandleAndMaskAndTakesTimeouts) {
    port_->SetModemControlRegister(0x03);  // DTR and RTS raised, inputs low
    Send(U32(PL_OPEN) + U32(3));
    EXPECT_EQ(ReceiveU32(), 0x1234u);
    EXPECT_EQ(ReceiveU32(), 0x05u);
    Send(U32(10) + U32(20) + U32(30) + U32(40) + U32(50));
    ASSERT_TRUE(Eventually([](const CFakeSerialPort::Record& r) {
        return r.timeouts.WriteTotalTimeoutConstant == 50;
    }));
    auto r = port_->Snapshot();
    EXPECT_EQ(r.purges, 1);
    EXPECT_EQ(r.timeouts.ReadIntervalTimeout, 10u);
    EXPECT_EQ(r.timeouts.ReadTotalTimeoutMultiplier, 20u);
    EXPECT_EQ(r.timeouts.ReadTotalTimeoutConstant, 30u);
    EXPECT_EQ(r.timeouts.WriteTotalTimeoutMultiplier, 40u);
    EXPECT_EQ(opened_, std::vector<int>{3});
    // Nothing else is sent without a cause.
    EXPECT_FALSE(SomethingArrives(0));
}

TEST_F(PortSessionTest, RefusedPortAndRefusedAddressGetOpenFailed) {
    Send(U32(PL_OPEN) + U32(0));
    EXPECT_EQ(ReceiveU32(), PL_OPEN_FAILED);
    char c;
    EXPECT_FALSE(RecvAll(link_.client, &c, 1, 5));  // closed
    session_.join();
    session_ = std::thread([] {});
    EXPECT_EQ(opened_, std::vector<int>{0});

    registry_.DeleteKey("Software\\Dravik\\TOVL\\IpAddr");
    registry_.CreateKey("Software\\Dravik\\TOVL\\IpAddr");
    Connection other;
    std::vector<int> opened;
    std::thread refused([&] {
        RunPortSessionWith(other.server, [&](int n, CStatus*) -> std::shared_ptr<CSerialPort> {
            opened.push_back(n);
            return port_;
        });
    });
    std::string open = U32(PL_OPEN) + U32(3);
    ASSERT_TRUE(SendAll(other.client, open.data(), 8));
    uint8_t b[4];
    ASSERT_TRUE(RecvAll(other.client, b, 4));
    EXPECT_EQ(DecodeU32(b), PL_OPEN_FAILED);
    refused.join();
    EXPECT_TRUE(opened.empty());
}

TEST_F(PortSessionTest, SettingsBecomeDcbThenHandflowWithClientLimits) {
    Open();
    uint8_t rec[kPortLinkSettingsSize];
    PortLinkSettings s;
    s.BaudRate = 38400;
    s.ByteSize = 7;
    s.Parity = 2;
    s.StopBits = 2;
    s.XonChar = 0x21;
    s.XoffChar = 0x22;
    s.ErrorChar = 0x23;
    s.EofChar = 0x24;
    s.EvtChar = 0x25;
    s.XonLimit = 100;
    s.XoffLimit = 200;
    s.ControlHandShake = 0x09;
    s.FlowReplace = 0x43;
    EncodeSettings(s, rec);
    Send(U32(PL_SETTINGS) + std::string(reinterpret_cast<char*>(rec), sizeof rec));
    ASSERT_TRUE(
        Eventually([](const CFakeSerialPort::Record& r) { return r.handflow.XonLimit == 100; }));
    auto r = port_->Snapshot();
    // Read, modify, write back, then the handshake record.
    std::vector<std::string> tail(r.calls.end() - 3, r.calls.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"GetState", "SetState", "SetHandflow"}));
    EXPECT_EQ(r.stateSet.BaudRate, 38400u);
    EXPECT_EQ(r.stateSet.ByteSize, 7);
    EXPECT_EQ(r.stateSet.Parity, 2);
    EXPECT_EQ(r.stateSet.StopBits, 2);
    EXPECT_EQ(r.stateSet.XonChar, 0x21);
    EXPECT_EQ(r.stateSet.XoffChar, 0x22);
    EXPECT_EQ(r.stateSet.ErrorChar, 0x23);
    EXPECT_EQ(r.stateSet.EofChar, 0x24);
    EXPECT_EQ(r.stateSet.EvtChar, 0x25);
    EXPECT_EQ(r.stateSet.XonLim, 2048);
    EXPECT_EQ(r.stateSet.XoffLim, 512);
    EXPECT_FALSE(r.stateSet.fTXContinueOnXoff);
    EXPECT_FALSE(r.stateSet.fAbortOnError);
    EXPECT_EQ(r.handflow.ControlHandShake, 0x80000009u);
    EXPECT_EQ(r.handflow.FlowReplace, 0x80000043u);
    EXPECT_EQ(r.handflow.XoffLimit, 200);
    // The driver ends with the client's limits and both flags on again.
    EXPECT_EQ(r.dcb.XonLim, 100);
    EXPECT_EQ(r.dcb.XoffLim, 200);
    EXPECT_TRUE(r.dcb.fAbortOnError);
    EXPECT_TRUE(r.dcb.fTXContinueOnXoff);
}

TEST_F(PortSessionTest, LineRequestsOnlyRaiseAndAlwaysReportOnce) {
    port_->SetModemControlRegister(0x01);  // DTR already up
    Open();
    port_->ChangeModemStatus(0x30);  // CTS and DSR up: a report
    EXPECT_EQ(ReceiveU32(), PL_FLOW_CONTROL);
    EXPECT_EQ(ReceiveU32(), 0x30u);

    Send(U32(PL_FLOW_CONTROL) + U32(PL_LINE_DTR));
    EXPECT_EQ(ReceiveU32(), PL_FLOW_CONTROL);
    EXPECT_EQ(ReceiveU32(), 0x30u);  // the raw status register
    EXPECT_TRUE(port_->Snapshot().controlSets.empty());

    Send(U32(PL_FLOW_CONTROL) + U32(0));
    EXPECT_EQ(ReceiveU32(), PL_FLOW_CONTROL);
    EXPECT_EQ(ReceiveU32(), 0x30u);
    EXPECT_FALSE(SomethingArrives(1));
    EXPECT_TRUE(port_->Snapshot().controlSets.empty());

    Send(U32(PL_FLOW_CONTROL) + U32(PL_LINE_RTS | PL_LINE_CTS | PL_LINE_DSR));
    EXPECT_EQ(ReceiveU32(), PL_FLOW_CONTROL);
    EXPECT_EQ(ReceiveU32(), 0x30u);
    EXPECT_EQ(port_->Snapshot().controlSets, std::vector<uint32_t>{0x03});
}

TEST_F(PortSessionTest, LineRequestWithoutTheRegisterChangesNoLine) {
    port_->SetModemControlRegister(0x03);  // DTR and RTS up
    Open();
    port_->FailModemControlQueries();
    // Writing RTS alone over an unknown register would drop DTR.
    Send(U32(PL_FLOW_CONTROL) + U32(PL_LINE_RTS));
    EXPECT_EQ(ReceiveU32(), PL_FLOW_CONTROL);
    ReceiveU32();
    Send(U32(PL_FLOW_CONTROL) + U32(PL_LINE_DTR | PL_LINE_RTS));
    EXPECT_EQ(ReceiveU32(), PL_FLOW_CONTROL);
    ReceiveU32();
    const CFakeSerialPort::Record record = port_->Snapshot();
    EXPECT_TRUE(record.controlSets.empty());
    for (const std::string& event : record.lineEvents) EXPECT_NE(event.back(), '-') << event;
}

TEST_F(PortSessionTest, ModemReportsForCtsDsrDcdButNotRiAlone) {
    Open();
    port_->ChangeModemStatus(0x10);
    EXPECT_EQ(ReceiveU32(), PL_FLOW_CONTROL);
    EXPECT_EQ(ReceiveU32() & 0x10, 0x10u);
    EXPECT_FALSE(SomethingArrives(1));  // one report for one change
    port_->ChangeModemStatus(0x50);     // RI alone
    EXPECT_FALSE(SomethingArrives(1));
    port_->ChangeModemStatus(0xD0);  // DCD
    EXPECT_EQ(ReceiveU32(), PL_FLOW_CONTROL);
    EXPECT_EQ(ReceiveU32(), 0xD0u);
}

// Bytes read at once leave as blocks of 1024, each its own PL_DATA, the
// last one shorter.
TEST_F(PortSessionTest, PortDataReadAtOnceGoesOutInBlocksOf1024) {
    Open();
    std::string data;
    for (int i = 0; i < 5000; ++i) data.push_back(static_cast<char>(i * 7 + i / 256));
    port_->Feed(data);
    std::string expected;
    for (size_t at = 0; at < data.size(); at += PL_DATA_MAX) {
        const std::string block = data.substr(at, PL_DATA_MAX);
        expected += U32(PL_DATA) + U32(static_cast<uint32_t>(block.size())) + block;
    }
    std::string got(expected.size(), '\0');
    ASSERT_TRUE(RecvAll(link_.client, got.data(), static_cast<int>(got.size())));
    EXPECT_EQ(got, expected);
    EXPECT_FALSE(SomethingArrives(0));
}

TEST_F(PortSessionTest, LargeDataIsWrittenInBoundedPieces) {
    Open();
    std::string data(200000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i % 251);
    Send(U32(PL_DATA) + U32(static_cast<uint32_t>(data.size())) + data);
    Send(U32(PL_DATA) + U32(0) + U32(PL_DATA) + U32(2) + "ok");
    ASSERT_TRUE(Eventually(
        [&](const CFakeSerialPort::Record& r) { return r.written.size() >= data.size() + 2; }));
    auto r = port_->Snapshot();
    EXPECT_EQ(r.written, data + "ok");
    EXPECT_LE(r.largestWrite, kPayloadChunk);
}

TEST_F(PortSessionTest, MessagesBeforeTheOpenAreConsumedAndDoNothing) {
    uint8_t rec[kPortLinkSettingsSize] = {};
    Send(U32(PL_DATA) + U32(6) +
         std::string("\x02\x00\x00\x00\x03\x00", 6));  // payload looks like PL_OPEN
    Send(U32(PL_SETTINGS) + std::string(reinterpret_cast<char*>(rec), sizeof rec));
    Send(U32(PL_FLOW_CONTROL) + U32(PL_LINE_DTR));
    Send(U32(4));
    EXPECT_FALSE(SomethingArrives(1));
    EXPECT_TRUE(opened_.empty());
    EXPECT_EQ(Open(), 0u);
    EXPECT_FALSE(SomethingArrives(1));  // no report left over from before
    auto r = port_->Snapshot();
    EXPECT_TRUE(r.written.empty());
    EXPECT_TRUE(r.controlSets.empty());
}

TEST_F(PortSessionTest, SecondOpenIsReadAndIgnored) {
    Open();
    Send(U32(PL_OPEN) + U32(3) + U32(PL_DATA) + U32(1) + "Q");
    ASSERT_TRUE(Eventually([](const CFakeSerialPort::Record& r) { return r.written == "Q"; }));
    EXPECT_EQ(opened_, std::vector<int>{3});
    EXPECT_FALSE(SomethingArrives(1));
    EXPECT_EQ(port_->Snapshot().purges, 1);
}

TEST_F(PortSessionTest, FailingPortWritesDoNotStopTheSession) {
    Open();
    port_->FailWrites();
    Send(U32(PL_DATA) + U32(100000) + std::string(100000, 'x'));
    Send(U32(PL_FLOW_CONTROL) + U32(0));
    EXPECT_EQ(ReceiveU32(), PL_FLOW_CONTROL);
    EXPECT_EQ(ReceiveU32(), 0u);
    // The failed message was written once, then dropped.
    auto r = port_->Snapshot();
    EXPECT_EQ(std::count(r.calls.begin(), r.calls.end(), "Write"), 1);
}

TEST_F(PortSessionTest, CloseEndsTheSessionAndClosesThePort) {
    Open();
    Send(U32(PL_CLOSE));
    ExpectEndedWithThePortClosed();
}

TEST_F(PortSessionTest, ReaderSendFailureEndsTheWholeSession) {
    Open();
    ASSERT_TRUE(Eventually([](const CFakeSerialPort::Record& r) {
        return !r.calls.empty() && r.calls.back() == "SetTimeouts";
    }));
    ShutdownSend(link_.server.Handle());
    port_->Feed("data nobody can be sent");
    // The session was waiting for the client's next message; it ends anyway.
    for (int i = 0; i < 500 && !ended_; ++i) SleepMs(10);
    EXPECT_TRUE(ended_);
    EXPECT_TRUE(port_->Snapshot().closed);
}

// A device that goes away ends the session: the client sees the connection
// close, the port is released.
TEST_F(PortSessionTest, LostDeviceEndsTheSession) {
    Open();
    port_->Vanish();
    ExpectEndedWithThePortClosed();
}

// A write the device holds back ends with the session, however it ends.
TEST_F(PortSessionTest, HeldPortWriteEndsWithTheSession) {
    Open();
    port_->HoldWrites();
    Send(U32(PL_DATA) + U32(3) + "abc");
    ASSERT_TRUE(Eventually([](const CFakeSerialPort::Record& r) {
        return !r.calls.empty() && r.calls.back() == "Write";
    }));
    port_->Vanish();
    ExpectEndedWithThePortClosed();
}

}  // namespace
