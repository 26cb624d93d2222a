#include "config/tls_values.h"

#include <gtest/gtest.h>

namespace tovl {
namespace {

TEST(TlsListenValue, NamesTheProtocolByNameAndData) {
    TlsListen listen;
    std::string why;
    ASSERT_TRUE(ParseTlsListenValue("PortLink", "4446", &listen, &why));
    EXPECT_EQ(listen.portNumber, 0);
    EXPECT_EQ(listen.tcpPort, 4446);
    ASSERT_TRUE(ParseTlsListenValue("COM3", "7103", &listen, &why));
    EXPECT_EQ(listen.portNumber, 3);
    EXPECT_FALSE(listen.raw);
    ASSERT_TRUE(ParseTlsListenValue("COM3", "6103;9600,7E2,xonxoff", &listen, &why));
    EXPECT_TRUE(listen.raw);
    EXPECT_EQ(listen.tcpPort, 6103);
    EXPECT_EQ(listen.line.baud, 9600u);
    EXPECT_EQ(listen.line.parity, 'E');
}

TEST(TlsListenValue, RefusesWhatNoListenerCanServe) {
    TlsListen listen;
    std::string why;
    EXPECT_FALSE(ParseTlsListenValue("PortLink", "4446;115200,8N1", &listen, &why));
    EXPECT_FALSE(ParseTlsListenValue("COM0", "7103", &listen, &why));
    EXPECT_FALSE(ParseTlsListenValue("Rfc2217", "7103", &listen, &why));
    EXPECT_FALSE(ParseTlsListenValue("COM3", "70000", &listen, &why));
    EXPECT_FALSE(ParseTlsListenValue("COM3", "6103;fast", &listen, &why));
    EXPECT_FALSE(why.empty());
}

}  // namespace
}  // namespace tovl
