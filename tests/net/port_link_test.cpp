#include "net/port_link.h"

#include <gtest/gtest.h>

#include <vector>

namespace tovl {

namespace {

using Bytes = std::vector<uint8_t>;

Bytes U32(uint32_t v) {
    Bytes b(4);
    EncodeU32(v, b.data());
    return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST(PortLink, MessageImages) {
    EXPECT_EQ(Cat({U32(PL_OPEN), U32(3)}), (Bytes{2, 0, 0, 0, 3, 0, 0, 0}));
    EXPECT_EQ(Cat({U32(PL_DATA), U32(2), Bytes{0x41, 0x42}}),
              (Bytes{0, 0, 0, 0, 2, 0, 0, 0, 0x41, 0x42}));
    EXPECT_EQ(Cat({U32(PL_FLOW_CONTROL), U32(PL_LINE_DTR | PL_LINE_RTS)}),
              (Bytes{5, 0, 0, 0, 5, 0, 0, 0}));
    EXPECT_EQ(U32(PL_CLOSE), (Bytes{7, 0, 0, 0}));
    EXPECT_EQ(U32(PL_OPEN_FAILED), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(DecodeU32(Bytes{0x78, 0x56, 0x34, 0x12}.data()), 0x12345678u);
}

TEST(PortLink, SettingsImageFor9600EightNoneOne) {
    PortLinkSettings s;
    s.BaudRate = 9600;
    s.ByteSize = 8;
    s.Parity = 0;
    s.StopBits = 0;
    s.XonChar = 0x11;
    s.XoffChar = 0x13;
    s.XonLimit = 2048;
    s.XoffLimit = 512;
    s.ControlHandShake = 0x01;
    s.FlowReplace = 0x40;
    uint8_t out[kPortLinkSettingsSize];
    EncodeSettings(s, out);
    const Bytes expected{0x80, 0x25, 0,    0,    8,    0, 0, 0x11, 0x13, 0, 0, 0,
                         0x00, 0x08, 0x00, 0x02, 0x01, 0, 0, 0,    0x40, 0, 0, 0};
    EXPECT_EQ(Bytes(out, out + 24), expected);
}

TEST(PortLink, SettingsDecodeIgnoresPaddingAndRoundTrips) {
    uint8_t in[kPortLinkSettingsSize] = {0x00, 0xC2, 0x01, 0x00, 7,    2,    2,    0x11,
                                         0x13, '?',  0x1A, 0x7E, 0x64, 0x00, 0xC8, 0x00,
                                         0x09, 0xAA, 0xBB, 0xCC, 0x83, 0,    0,    0};
    PortLinkSettings s = DecodeSettings(in);
    EXPECT_EQ(s.BaudRate, 115200u);
    EXPECT_EQ(s.ByteSize, 7);
    EXPECT_EQ(s.Parity, 2);
    EXPECT_EQ(s.StopBits, 2);
    EXPECT_EQ(s.ErrorChar, '?');
    EXPECT_EQ(s.EofChar, 0x1A);
    EXPECT_EQ(s.EvtChar, 0x7E);
    EXPECT_EQ(s.XonLimit, 100);
    EXPECT_EQ(s.XoffLimit, 200);
    EXPECT_EQ(s.ControlHandShake, 0x09);
    EXPECT_EQ(s.FlowReplace, 0x83u);
    uint8_t again[kPortLinkSettingsSize];
    EncodeSettings(s, again);
    in[17] = in[18] = in[19] = 0;
    EXPECT_EQ(Bytes(again, again + 24), Bytes(in, in + 24));
}

TEST(PortLink, ModemRegistersToTheOpenReplyMask) {
    // DTR and RTS raised, every input line low.
    EXPECT_EQ(ModemRegistersToLineMask(0x03, 0x00), 0x05u);
    EXPECT_EQ(ModemRegistersToLineMask(0x00, 0xF0),
              PL_LINE_CTS | PL_LINE_DSR | PL_LINE_RI | PL_LINE_DCD);
    // Change flags in the low four bits are no lines.
    EXPECT_EQ(ModemRegistersToLineMask(0x00, 0x0F), 0u);
}

TEST(PortLink, ServerModemStatusToTheClientsMask) {
    EXPECT_EQ(ModemStatusToLineMask(0xB0), 0x2Au);
    EXPECT_EQ(ModemStatusToLineMask(0x40), 0u) << "RI is not carried";
    EXPECT_EQ(ModemStatusToLineMask(0x1F), PL_LINE_CTS);
}

TEST(PortLink, LineRequestsOnlyRaiseDtrAndRts) {
    EXPECT_EQ(ApplyLineRequest(0x00, PL_LINE_DTR | PL_LINE_RTS), 0x03u);
    EXPECT_EQ(ApplyLineRequest(0x03, 0), 0x03u);
    EXPECT_EQ(ApplyLineRequest(0x00, PL_LINE_CTS | PL_LINE_DSR | PL_LINE_RI | PL_LINE_DCD), 0x00u);
    EXPECT_EQ(ApplyLineRequest(0x02, PL_LINE_DTR), 0x03u);
}

TEST(PortLink, WideClientFieldsKeepTheirLowBits) {
    // A 32-bit XonLimit of 70000 and handshake 0x80000009 as the client
    // narrows them.
    PortLinkSettings s;
    s.XonLimit = static_cast<uint16_t>(70000u);
    s.ControlHandShake = static_cast<uint8_t>(0x80000009u);
    uint8_t out[kPortLinkSettingsSize];
    EncodeSettings(s, out);
    EXPECT_EQ(out[12] | out[13] << 8, 4464);
    EXPECT_EQ(out[16], 0x09);
}

}  // namespace

}  // namespace tovl
