// The client's configuration: the remote-end and time-out texts, and the
// port table read from a temporary registry.
#include "client/client_config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/fake_virtual_port.h"
#include "client/virtual_ports.h"
#include "test_support/temp_registry.h"

namespace tovl {

using testing_support::TempRegistry;

namespace {

const char kConnections[] = "Software\\Dravik\\TOVL\\Connections";
const char kSettings[] = "Software\\Dravik\\TOVL\\Settings";

RemoteEnd Parse(const char* text, bool* ok) {
    RemoteEnd end;
    *ok = ParseRemoteEnd(text, &end);
    return end;
}

}  // namespace

TEST(RemoteEndText, AddressAndComPortTakeTheDefaultTcpPort) {
    bool ok = false;
    RemoteEnd end = Parse("10.0.0.7;2", &ok);
    ASSERT_TRUE(ok);
    EXPECT_STREQ(end.Address, "10.0.0.7");
    EXPECT_EQ(end.TcpPort, 4445);
    EXPECT_EQ(end.ComPort, 2);
}

TEST(RemoteEndText, TcpPortIsKeptInSixteenBits) {
    bool ok = false;
    RemoteEnd end = Parse("10.0.0.7:5000;2", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(end.TcpPort, 5000);
    EXPECT_EQ(end.ComPort, 2);
    end = Parse("10.0.0.7:70000;2", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(end.TcpPort, 4464);
    EXPECT_STREQ(end.Address, "10.0.0.7");
}

TEST(RemoteEndText, MissingFieldsGiveNoRecord) {
    bool ok = true;
    Parse("10.0.0.7", &ok);
    EXPECT_FALSE(ok);
    Parse("10.0.0.7:5000", &ok);
    EXPECT_FALSE(ok);
    Parse("10.0.0.7;", &ok);
    EXPECT_FALSE(ok);
    Parse("", &ok);
    EXPECT_FALSE(ok);
    // Delimiters in front of a field are skipped, so the address swallows
    // the rest and the TCP field is missing.
    Parse(":5000;2", &ok);
    EXPECT_FALSE(ok);
}

TEST(RemoteEndText, ComPortIsTheDecimalConversionOfTheRest) {
    bool ok = false;
    RemoteEnd end = Parse("1.2.3.4;;7", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(end.ComPort, 0);  // the rest ";7" converts to 0
    end = Parse("1.2.3.4;12abc", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(end.ComPort, 12);
    end = Parse("1.2.3.4:x;-3", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(end.TcpPort, 0);
    EXPECT_EQ(end.ComPort, -3);
}

TEST(PortTimeoutsText, FiveFieldsSignedAndExtraFieldsIgnored) {
    int32_t v[5];
    ParsePortTimeouts("-1;0;0;0;0", v);
    EXPECT_EQ(static_cast<uint32_t>(v[0]), 0xFFFFFFFFu);
    EXPECT_EQ(v[1], 0);
    EXPECT_EQ(v[4], 0);
    ParsePortTimeouts("100;10;1000;10;1000;7", v);
    EXPECT_EQ(v[0], 100);
    EXPECT_EQ(v[1], 10);
    EXPECT_EQ(v[2], 1000);
    EXPECT_EQ(v[3], 10);
    EXPECT_EQ(v[4], 1000);
}

TEST(PortTimeoutsText, MissingFieldsReadAsZero) {
    int32_t v[5] = {9, 9, 9, 9, 9};
    ParsePortTimeouts("5;6", v);
    EXPECT_EQ(v[0], 5);
    EXPECT_EQ(v[1], 6);
    EXPECT_EQ(v[2], 0);
    EXPECT_EQ(v[3], 0);
    EXPECT_EQ(v[4], 0);
    ParsePortTimeouts("", v);
    EXPECT_EQ(v[0], 0);
    ParsePortTimeouts("1;;3;;5", v);
    EXPECT_EQ(v[1], 0);
    EXPECT_EQ(v[2], 3);
    EXPECT_EQ(v[4], 5);
}

class ClientConfigTest : public ::testing::Test {
  protected:
    TempRegistry registry_;
    CFakeVirtualPorts driver_;
};

TEST_F(ClientConfigTest, ListHoldsValidValuesInPortOrderWithGapsAndLimits) {
    for (uint32_t n : {1u, 3u, 5u, 9u, 200u}) driver_.AddPort(n);
    registry_.SetValue(kConnections, "REMOTEPORT0", "10.0.0.1;1");
    registry_.SetValue(kConnections, "REMOTEPORT1", "10.0.0.7;2");
    registry_.SetValue(kConnections, "REMOTEPORT3", "10.0.0.7:5000");       // no COM number
    registry_.SetValue(kConnections, "REMOTEPORT4", "10.0.0.7;4");          // unknown to the driver
    registry_.SetValue(kConnections, "REMOTEPORT5", std::string(32, '1'));  // too long
    registry_.SetValue(kConnections, "REMOTEPORT9", "192.168.100.200:70000;12");
    registry_.SetValue(kConnections, "REMOTEPORT200", "192.168.100.123:65535;123456789");
    registry_.SetValue(kConnections, "REMOTEPORT255", "10.0.0.7;2");
    std::vector<ClientPort> ports = ReadClientConnections();
    std::vector<std::shared_ptr<CVirtualPort>> virtualPorts =
        KeepOfferedPorts(ports, [this](uint32_t n) { return driver_.Shared(n); });
    ASSERT_EQ(ports.size(), 3u);
    ASSERT_EQ(virtualPorts.size(), 3u);
    EXPECT_EQ(ports[0].LocalPort, 1u);
    EXPECT_STREQ(ports[0].RemoteAddress, "10.0.0.7");
    EXPECT_EQ(ports[0].RemoteTcpPort, 4445);
    EXPECT_EQ(ports[0].RemoteComPort, 2);
    EXPECT_EQ(virtualPorts[0]->Number(), 1u);
    EXPECT_EQ(ports[1].LocalPort, 9u);
    EXPECT_STREQ(ports[1].RemoteAddress, "192.168.100.200");
    EXPECT_EQ(ports[1].RemoteTcpPort, 4464);
    EXPECT_EQ(ports[1].RemoteComPort, 12);
    // 31 characters fit.
    EXPECT_EQ(ports[2].LocalPort, 200u);
    EXPECT_EQ(ports[2].RemoteTcpPort, 65535);
    EXPECT_STREQ(ports[2].RemoteAddress, "192.168.100.123");
    EXPECT_EQ(ports[2].RemoteComPort, 123456789);
    // The port kept is the one offered for its number.
    driver_.Raw(9).opened.Set();
    EXPECT_EQ(virtualPorts[1]->Opened().Wait(1000), 0);
}

TEST_F(ClientConfigTest, NoConnectionsKeyGivesAnEmptyList) {
    driver_.AddPort(1);
    EXPECT_TRUE(ReadClientConnections().empty());
}

TEST_F(ClientConfigTest, PortTimeoutsAreReadAnewEachTime) {
    int32_t v[5];
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ReadPortTimeouts(3, v));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR open registry key!\n");
    registry_.SetValue(kSettings, "PORT4", "1;2;3;4;5");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ReadPortTimeouts(3, v));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR registry read!\n");
    registry_.SetValue(kSettings, "PORT3", "-1;0;0;0;0");
    ASSERT_TRUE(ReadPortTimeouts(3, v));
    EXPECT_EQ(static_cast<uint32_t>(v[0]), 0xFFFFFFFFu);
    registry_.SetValue(kSettings, "PORT3", "100;10;1000;10;1000;7");
    ASSERT_TRUE(ReadPortTimeouts(3, v));
    EXPECT_EQ(v[0], 100);
    EXPECT_EQ(v[4], 1000);
    // 99 characters fit in the 100-byte buffer, 100 do not.
    registry_.SetValue(kSettings, "PORT3", "1;2;3;4;" + std::string(91, '5'));
    EXPECT_TRUE(ReadPortTimeouts(3, v));
    registry_.SetValue(kSettings, "PORT3", "1;2;3;4;" + std::string(92, '5'));
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ReadPortTimeouts(3, v));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ERROR registry read!\n");
}

}  // namespace tovl
