#include "server/access_check.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support/loopback.h"
#include "test_support/temp_registry.h"

using namespace tovl;
using namespace testing_support;

namespace {

constexpr const char* kIpAddr = "Software\\Dravik\\TOVL\\IpAddr";

class AccessCheck : public ::testing::Test {
  protected:
    // Whether a connection from sourceIp, as the server accepts it, is let in.
    bool AllowedFrom(const char* sourceIp) {
        CBlockingSocket listener(SocketVariant::Server);
        listener.Create();
        listener.Bind(LoopbackAddress(0, "0.0.0.0"));
        listener.Listen();
        SockAddrIn local;
        SockGetSockName(listener.Handle(), &local);
        SocketHandle client = ConnectFrom(sourceIp, NetToHost16(local.portBe));
        EXPECT_NE(client, kInvalidSocket);
        CBlockingSocket accepted(SocketVariant::Server);
        SockAddrIn peer;
        EXPECT_TRUE(listener.Accept(accepted, &peer));
        bool allowed = IsPeerAllowed(accepted);
        accepted.Close();
        listener.Close();
        CloseRaw(client);
        return allowed;
    }

    TempRegistry registry;
};

TEST_F(AccessCheck, ListedAddressIsAllowedAndOthersAreNot) {
    registry.SetValue(kIpAddr, "127.0.0.1", "");
    EXPECT_TRUE(AllowedFrom("127.0.0.1"));
    EXPECT_FALSE(AllowedFrom("127.0.0.2"));
}

TEST_F(AccessCheck, NamesMustBeTheExactDottedText) {
    registry.SetValue(kIpAddr, "127.0.0.01", "");
    registry.SetValue(kIpAddr, "127.0.0.1 ", "");
    registry.SetValue(kIpAddr, "127.0.0.1.", "");
    registry.SetValue(kIpAddr, "0.0.0.0", "");
    EXPECT_FALSE(AllowedFrom("127.0.0.1"));
}

TEST_F(AccessCheck, DataOfMoreThanOneHundredBytesRefuses) {
    registry.SetValue(kIpAddr, "127.0.0.1", std::string(99, 'd'));
    EXPECT_TRUE(AllowedFrom("127.0.0.1"));
    registry.SetValue(kIpAddr, "127.0.0.1", std::string(150, 'd'));
    EXPECT_FALSE(AllowedFrom("127.0.0.1"));
}

TEST_F(AccessCheck, MissingKeyRefusesEveryone) {
    EXPECT_FALSE(AllowedFrom("127.0.0.1"));
    registry.SetValue(kIpAddr, "127.0.0.1", "");
    registry.DeleteKey(kIpAddr);
    EXPECT_FALSE(AllowedFrom("127.0.0.1"));
}

TEST_F(AccessCheck, ChangesTakeEffectAtTheNextCheck) {
    registry.CreateKey(kIpAddr);
    EXPECT_FALSE(AllowedFrom("127.0.0.3"));
    registry.SetValue(kIpAddr, "127.0.0.3", "");
    EXPECT_TRUE(AllowedFrom("127.0.0.3"));
}

TEST_F(AccessCheck, AConnectionWithoutPeerThrowsGetPeerName) {
    CBlockingSocket unconnected(SocketVariant::Server);
    unconnected.Create();
    try {
        IsPeerAllowed(unconnected);
        FAIL() << "no exception";
    } catch (const CBlockingSocketException& e) {
        EXPECT_EQ(e.Operation(), "GetPeerName");
    }
    unconnected.Close();
}

}  // namespace
