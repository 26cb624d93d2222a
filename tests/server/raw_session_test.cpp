// The raw listener's value: what is accepted, what is refused and why, and
// the line as the serial seam's DCB fields.
#include "server/raw_session.h"

#include <gtest/gtest.h>

#include <string>

using namespace tovl;

namespace {

TEST(RawValue, TakesPortSpeedFrameAndHandshake) {
    uint16_t port = 0;
    RawLine line;
    std::string why;
    ASSERT_TRUE(ParseRawValue("6003;115200,7e2,XonXoff", &port, &line, &why)) << why;
    EXPECT_EQ(port, 6003);
    EXPECT_EQ(line.baud, 115200u);
    EXPECT_EQ(line.dataBits, 7);
    EXPECT_EQ(line.parity, 'E');
    EXPECT_EQ(line.stopBits, 2);
    EXPECT_EQ(line.flow, RawFlow::XonXoff);
    EXPECT_EQ(FormatRawLine(line), "115200,7E2,xonxoff");
    SerialDcb dcb;
    ApplyRawLine(line, &dcb);
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.Parity, 2);
    EXPECT_EQ(dcb.StopBits, 2);
    EXPECT_TRUE(dcb.fOutX && dcb.fInX);
    EXPECT_FALSE(dcb.fOutxCtsFlow);
}

TEST(RawValue, RefusesWhatTheServerCannotUse) {
    uint16_t port = 0;
    RawLine line;
    std::string why;
    for (const char* bad : {"6003", "06003;9600,8N1", "70000;9600,8N1", "6003;9600", "6003;0,8N1",
                            "6003;9600,9N1", "6003;9600,8X1", "6003;9600,8N3", "6003;9600,8N1,dtr",
                            "6003;9600,8N1 ", " 6003;9600,8N1"}) {
        why.clear();
        EXPECT_FALSE(ParseRawValue(bad, &port, &line, &why)) << bad;
        EXPECT_FALSE(why.empty()) << bad;
    }
}

}  // namespace
