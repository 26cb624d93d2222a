#include "config/address_text.h"

#include <gtest/gtest.h>

#include <cstring>

#include "config/remote_host.h"

namespace tovl {
namespace {

TEST(AddressTextTest, Ipv4KeepsItsDottedNameWithoutLeadingZeros) {
    std::string name;
    EXPECT_EQ(ParseListedAddress("10.0.0.7", &name), ListedAddressKind::IPv4);
    EXPECT_EQ(name, "10.0.0.7");
    EXPECT_EQ(ParseListedAddress("010.000.0.7", &name), ListedAddressKind::IPv4);
    EXPECT_EQ(name, "10.0.0.7");
}

TEST(AddressTextTest, Ipv6IsNamedByItsCanonicalText) {
    std::string name;
    const std::pair<const char*, const char*> cases[] = {
        {"2001:DB8:0:0::1", "2001:db8::1"},
        {"2001:0db8:0000:0000:0001:0000:0000:0001", "2001:db8::1:0:0:1"},
        {"0:0:0:0:0:0:0:1", "::1"},
        {"fe80:0:0:0:0:0:0:0", "fe80::"},
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},
    };
    for (const auto& [text, canonical] : cases) {
        EXPECT_EQ(ParseListedAddress(text, &name), ListedAddressKind::IPv6) << text;
        EXPECT_EQ(name, canonical) << text;
    }
    // An IPv4 peer of a dual-stack listener is its IPv4 address.
    EXPECT_EQ(ParseListedAddress("::FFFF:10.0.0.7", &name), ListedAddressKind::IPv6);
    EXPECT_EQ(name, "10.0.0.7");
}

TEST(AddressTextTest, AnythingElseIsNoAddress) {
    std::string name;
    for (const char* bad : {"", "10.0.0", "10.0.0.256", "1.2.3.4 ", "host.example",
                            "2001:db8::1::2", "2001:db8::g", "[::1]", "::1%lo", "12345::1"})
        EXPECT_EQ(ParseListedAddress(bad, &name), ListedAddressKind::NotAnAddress) << bad;
}

TEST(AddressTextTest, PeersAreNamedAsTheListNamesThem) {
    SockAddr mapped;
    mapped.family = kAfInet6;
    mapped.portBe = HostToNet16(5000);
    const uint8_t v4mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 127, 0, 0, 1};
    memcpy(mapped.addr, v4mapped, sizeof v4mapped);
    EXPECT_EQ(PeerAddressName(mapped), "127.0.0.1");
    EXPECT_EQ(PeerEndpointText(mapped), "127.0.0.1:5000");
    SockAddr six = mapped;
    const uint8_t loopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    memcpy(six.addr, loopback, sizeof loopback);
    EXPECT_EQ(PeerEndpointText(six), "[::1]:5000");
}

TEST(RemoteHostTest, NamesAndIpv6AddressesWithOrWithoutPort) {
    RemoteHost server;
    std::string why;
    const struct {
        const char* text;
        const char* host;
        uint16_t port;
    } cases[] = {
        {"localhost", "localhost", 4445},
        {"serial-gw.example.org:5000", "serial-gw.example.org", 5000},
        {"[2001:DB8::1]:4446", "2001:db8::1", 4446},
        {"[::1]", "::1", 4445},
        {"2001:db8:0:0::7", "2001:db8::7", 4445},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(ParseRemoteHost(c.text, &server, &why)) << c.text << ": " << why;
        EXPECT_EQ(server.host, c.host);
        EXPECT_EQ(server.tcpPort, c.port);
    }
    EXPECT_EQ(FormatRemoteHost(RemoteHost{"2001:db8::1", 4446}), "[2001:db8::1]:4446");
    EXPECT_EQ(FormatRemoteHost(RemoteHost{"localhost", 4445}), "localhost:4445");
}

TEST(RemoteHostTest, RefusesWhatTheClientCouldNotUse) {
    RemoteHost server;
    std::string why;
    for (const char* bad : {"", "host:0", "host:65536", "host:", "[::1", "[::1]x",
                            "[::1]:", "[host]:4445", "bad host", "-host", "2001:db8::g"})
        EXPECT_FALSE(ParseRemoteHost(bad, &server, &why)) << bad;
    EXPECT_FALSE(ParseRemoteHost("host:70000", &server, &why));
    EXPECT_EQ(why, "TCP port \"70000\" is not 1 to 65535");
}

TEST(RemoteHostTest, DottedServersStayInTheSpecifiedValue) {
    EXPECT_TRUE(IsDottedServer("10.0.0.7"));
    EXPECT_TRUE(IsDottedServer("10.0.0.7:5000"));
    EXPECT_FALSE(IsDottedServer("localhost"));
    EXPECT_FALSE(IsDottedServer("::1"));
    EXPECT_FALSE(IsDottedServer("[::1]:4445"));
}

}  // namespace
}  // namespace tovl
