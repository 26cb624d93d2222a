// The RFC 2217 session and its reader against an in-memory port: the session
// runs on its own thread with the accepted end of a loopback connection, the
// test is the Telnet client on the other end.
#include "server/rfc2217_session.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "platform/thread.h"
#include "server/fake_serial_port.h"
#include "server/rfc2217_codec.h"
#include "test_support/loopback.h"
#include "test_support/temp_registry.h"

using namespace tovl;
using namespace testing_support;

namespace {

std::string Command(uint8_t code, const std::string& value) {
    std::vector<uint8_t> out;
    AppendComPortCommand(code, reinterpret_cast<const uint8_t*>(value.data()), value.size(), &out);
    return std::string(out.begin(), out.end());
}

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

class Rfc2217SessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        registry_.SetValue("Software\\Dravik\\TOVL\\IpAddr", "127.0.0.1", "");
        uint16_t port;
        {
            LoopbackListener probe;
            port = probe.port;
        }
        listening_.Create();
        listening_.Bind(LoopbackAddress(port));
        listening_.Listen();
        client_ = ConnectFrom("127.0.0.1", port);
        SockAddrIn peer;
        listening_.Accept(server_, &peer);
        port_ = std::make_shared<CFakeSerialPort>();
        session_ = std::thread(
            [this] { RunRfc2217SessionWith(server_, 5, [this](int, CStatus*) { return port_; }); });
        // The reader waits for modem changes once it has started.
        for (int i = 0; i < 500 && !port_->ModemWaitPending(); ++i) SleepMs(10);
        ASSERT_TRUE(port_->ModemWaitPending());
    }

    void TearDown() override {
        CloseRaw(client_);
        session_.join();
        listening_.Close();
    }

    void Send(const std::string& bytes) {
        ASSERT_TRUE(SendAll(client_, bytes.data(), static_cast<int>(bytes.size())));
    }

    // Reads until what has arrived holds part (false after 5 s without news).
    // The reader and the session thread both send: answers and data may
    // arrive in either order.
    bool ReceiveUntil(const std::string& part) {
        for (int i = 0; i < 5; ++i) {
            if (received_.find(part) != std::string::npos) return true;
            if (SockWait(client_, false, 1) != 1) continue;
            char buffer[512];
            const int n = SockRecv(client_, buffer, sizeof buffer);
            if (n <= 0) return false;
            received_.append(buffer, static_cast<size_t>(n));
            i = 0;
        }
        return false;
    }

    TempRegistry registry_;
    CBlockingSocket listening_{SocketVariant::Server};
    CBlockingSocket server_{SocketVariant::Server};
    SocketHandle client_ = kInvalidSocket;
    std::shared_ptr<CFakeSerialPort> port_;
    std::thread session_;
    std::string received_;
};

TEST_F(Rfc2217SessionTest, AnInjectedLineErrorWakesTheReaderAndIsToldOnce) {
    EXPECT_TRUE(port_->Snapshot().wakeOnLineErrors);
    Send(Command(10, "\x1E"));
    ASSERT_TRUE(ReceiveUntil(Command(110, "\x1E")));
    SerialLineErrors errors;
    errors.parity = true;
    errors.breakDetected = true;
    port_->InjectLineErrors(errors);
    const std::string notice = Command(106, "\x14");
    ASSERT_TRUE(ReceiveUntil(notice));
    // Data after it comes with no second notice.
    for (int i = 0; i < 500 && !port_->ModemWaitPending(); ++i) SleepMs(10);
    port_->Feed("ok");
    ASSERT_TRUE(ReceiveUntil("ok"));
    EXPECT_EQ(Count(received_, notice), 1u);
}

TEST_F(Rfc2217SessionTest, ModemStateIsToldAtTheStartAndAtEachChange) {
    ASSERT_TRUE(ReceiveUntil(Command(107, std::string(1, '\0'))));
    port_->ChangeModemStatus(0x30);  // CTS and DSR rise
    ASSERT_TRUE(ReceiveUntil(Command(107, "\x33")));
    for (int i = 0; i < 500 && !port_->ModemWaitPending(); ++i) SleepMs(10);
    port_->ChangeModemStatus(0x20);  // CTS falls
    EXPECT_TRUE(ReceiveUntil(Command(107, "\x21")));
}

TEST_F(Rfc2217SessionTest, FlowControlSuspendHoldsPortDataUntilResume) {
    Send(Command(8, ""));
    ASSERT_TRUE(ReceiveUntil(Command(108, "")));
    port_->Feed("held");
    // The session answers a query while the data waits in the port.
    SleepMs(200);
    Send(Command(5, std::string(1, '\0')));
    ASSERT_TRUE(ReceiveUntil(Command(105, "\x01")));
    EXPECT_EQ(received_.find("held"), std::string::npos);
    Send(Command(9, ""));
    EXPECT_TRUE(ReceiveUntil("held"));
}

}  // namespace
