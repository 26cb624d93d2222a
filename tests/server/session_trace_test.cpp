#include "server/session_trace.h"

#include <gtest/gtest.h>

#include <string>

namespace tovl {
namespace {

TEST(SessionTraceTest, HexDumpLinesMatchHexdumpC) {
    std::string data = "AT+CSQ\r\n";
    data += std::string(1, '\0');
    data +=
        "\x7f\xff"
        "0123456789";
    std::string out = "kept ";
    AppendHexDump(&out, "> ", reinterpret_cast<const uint8_t*>(data.data()), data.size());
    EXPECT_EQ(
        out,
        "kept > 00000000  41 54 2b 43 53 51 0d 0a  00 7f ff 30 31 32 33 34  |AT+CSQ.....01234|\n"
        "> 00000010  35 36 37 38 39                                    |56789|\n");
}

TEST(SessionTraceTest, EventsReachAnAttachedTraceOnlyInOrder) {
    TraceEvent(77, TraceKind::ToPort, reinterpret_cast<const uint8_t*>("lost"), 4);
    EXPECT_FALSE(TraceWanted(77));
    CTrace trace(77);
    EXPECT_TRUE(TraceWanted(77));
    TraceEvent(77, TraceKind::ToPort, reinterpret_cast<const uint8_t*>("up"), 2);
    TraceNote(77, "line 9600,8N1");
    TraceEvent(77, TraceKind::ToClient, reinterpret_cast<const uint8_t*>("dn"), 2);
    std::string raw;
    ASSERT_TRUE(trace.Take(true, 1000, &raw));
    EXPECT_EQ(raw, "updn");
    EXPECT_FALSE(trace.Take(true, 10, &raw));
    TraceEvent(77, TraceKind::ToPort, reinterpret_cast<const uint8_t*>("x"), 1);
    std::string text;
    ASSERT_TRUE(trace.Take(false, 1000, &text));
    EXPECT_NE(text.find(" client>port 00000000  78 "), std::string::npos) << text;
}

}  // namespace
}  // namespace tovl
