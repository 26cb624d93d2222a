// An Accept that fails for lack of descriptors must not end the listener.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <thread>

#include "net/port_link.h"
#include "platform/thread.h"
#include "server/listener.h"
#include "test_support/loopback.h"
#include "test_support/temp_registry.h"

using namespace tovl;
using namespace testing_support;

namespace {

TEST(ListenerRecovery, AcceptFailingForLackOfDescriptorsDoesNotEndTheListener) {
    TempRegistry registry;
    registry.CreateKey("Software\\Dravik\\TOVL\\IpAddr");
    uint16_t port;
    {
        LoopbackListener probe;
        port = probe.port;
    }
    ASSERT_EQ(StartListenerOn(port), 0);
    ASSERT_TRUE(StartThread([] { ConnectionThreadProc(nullptr); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    SocketHandle client = ConnectFrom("127.0.0.1", port);
    ASSERT_NE(client, kInvalidSocket);
    // No descriptor above the client's is free now: the server's accept fails
    // with EMFILE until the limit is raised again.
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(client) + 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    SocketHandle refused = ConnectFrom("127.0.0.1", port);  // cannot even get a socket
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(refused, kInvalidSocket);

    uint8_t request[8];
    EncodeU32(PL_OPEN, request);
    EncodeU32(7, request + 4);
    ASSERT_TRUE(SendAll(client, request, 8));
    uint8_t reply[4];
    ASSERT_TRUE(RecvAll(client, reply, 4, 10)) << "the listener gave up after the failed accepts";
    EXPECT_EQ(DecodeU32(reply), PL_OPEN_FAILED);
    CloseRaw(client);
}

}  // namespace
