// Every test program starts the socket library once, as the programs do
// before their first socket.
#include <gtest/gtest.h>

#include "platform/socket_api.h"

namespace {

class SocketStartup : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_TRUE(tovl::SockStartup()); }
};

[[maybe_unused]] ::testing::Environment* const g_socketStartup =
    ::testing::AddGlobalTestEnvironment(new SocketStartup);

}  // namespace
