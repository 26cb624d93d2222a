// The accept chain on a free port, in the test's own process (each test
// runs in a process of its own, and the listener lives as long as it).
#include "server/listener.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "net/port_link.h"
#include "platform/thread.h"
#include "test_support/loopback.h"
#include "test_support/temp_registry.h"

using namespace tovl;
using namespace testing_support;

namespace {

uint16_t FreePort() {
    LoopbackListener probe;
    return probe.port;
}

// Sends PL_OPEN for COM port 99 and reads the 4-byte answer.
bool OpenIsAnswered(SocketHandle s, uint32_t* answer) {
    uint8_t request[8];
    EncodeU32(PL_OPEN, request);
    EncodeU32(99, request + 4);
    uint8_t reply[4];
    if (!SendAll(s, request, 8) || !RecvAll(s, reply, 4, 15)) return false;
    *answer = DecodeU32(reply);
    return true;
}

TEST(Listener, ServesClientsEachOnItsOwnThread) {
    TempRegistry registry;
    registry.CreateKey("Software\\Dravik\\TOVL\\IpAddr");
    uint16_t port = FreePort();
    ASSERT_EQ(StartListenerOn(port), 0);
    ASSERT_TRUE(StartThread([] { ConnectionThreadProc(nullptr); }));

    // A client that connects and says nothing holds up nobody.
    SocketHandle silent = ConnectFrom("127.0.0.1", port);
    ASSERT_NE(silent, kInvalidSocket);

    // 200 connections open at the same time, each answered. They come in
    // groups of five, the listen backlog, so that no connect waits for a
    // SYN to be sent again.
    std::vector<SocketHandle> clients;
    int answered = 0;
    for (int group = 0; group < 40; ++group) {
        std::vector<SocketHandle> fresh;
        for (int i = 0; i < 5; ++i) {
            SocketHandle c = ConnectFrom("127.0.0.1", port);
            ASSERT_NE(c, kInvalidSocket) << group * 5 + i;
            fresh.push_back(c);
        }
        for (SocketHandle c : fresh) {
            uint32_t answer = 0;
            if (OpenIsAnswered(c, &answer) && answer == PL_OPEN_FAILED) ++answered;
            clients.push_back(c);
        }
    }
    EXPECT_EQ(answered, 200);
    for (SocketHandle c : clients) CloseRaw(c);
    CloseRaw(silent);
}

TEST(Listener, ATakenPortIsReportedAsNotListening) {
    LoopbackListener holder;  // bound to 127.0.0.1 only
    CBlockingSocket any(SocketVariant::Server);
    any.Create();
    uint16_t port = FreePort();
    any.Bind(LoopbackAddress(port, "0.0.0.0"));
    any.Listen();
    EXPECT_EQ(StartListenerOn(port), 1);
    any.Close();
}

}  // namespace
