// The DCB to termios translation and the read time-out rules of the POSIX
// serial port, as pure functions.
#include "platform/posix/serial_termios_posix.h"

#include <gtest/gtest.h>

#include "platform/posix/serial_read_posix.h"

using namespace tovl;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

termios RawBase() {
    termios t{};
    MakeRaw(&t);
    return t;
}

TEST(SerialTermios, RawModePassesEveryByte) {
    termios t{};
    t.c_iflag = ICRNL | IXON | ISTRIP | INLCR;
    t.c_oflag = OPOST | ONLCR;
    t.c_lflag = ECHO | ICANON | ISIG | IEXTEN;
    MakeRaw(&t);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | ISTRIP | INLCR | IGNCR), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
}

TEST(SerialTermios, LineSettings) {
    struct Case {
        uint8_t size, parity, stop;
        tcflag_t set, clear;
    };
    const Case cases[] = {
        {8, 0, 0, CS8, PARENB | CSTOPB | CMSPAR},
        {7, 1, 2, CS7 | PARENB | PARODD | CSTOPB, CMSPAR},
        {6, 2, 0, CS6 | PARENB, PARODD | CMSPAR | CSTOPB},
        {5, 3, 1, CS5 | PARENB | PARODD | CMSPAR | CSTOPB, 0},  // 1.5 stop bits: two
        {8, 4, 0, CS8 | PARENB | CMSPAR, PARODD},
    };
    for (const Case& c : cases) {
        SerialDcb dcb;
        dcb.ByteSize = c.size;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stop;
        termios t = RawBase();
        uint32_t custom = 1;
        ASSERT_TRUE(DcbToTermios(dcb, &t, &custom));
        EXPECT_EQ(custom, 0u);
        EXPECT_EQ(t.c_cflag & CSIZE, c.set & CSIZE) << int(c.size);
        EXPECT_EQ(t.c_cflag & (c.set & ~CSIZE), c.set & ~CSIZE) << int(c.parity);
        EXPECT_EQ(t.c_cflag & c.clear, 0u) << int(c.parity);
        // And back again.
        SerialDcb back = DcbFromTermios(t, 9600, SerialDcb{});
        EXPECT_EQ(back.ByteSize, c.size);
        EXPECT_EQ(back.Parity, c.parity);
        EXPECT_EQ(back.StopBits, c.stop == 0 ? 0 : 2);
    }
}

TEST(SerialTermios, SpeedsStandardAndCustom) {
    SerialDcb dcb;
    termios t = RawBase();
    uint32_t custom = 0;
    dcb.BaudRate = 115200;
    ASSERT_TRUE(DcbToTermios(dcb, &t, &custom));
    EXPECT_EQ(custom, 0u);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    // The input rate follows even from a custom or split rate before.
    t.c_cflag |= CIBAUD;
    dcb.BaudRate = 57600;
    ASSERT_TRUE(DcbToTermios(dcb, &t, &custom));
    EXPECT_EQ(t.c_cflag & CIBAUD, static_cast<tcflag_t>(B57600) << 16);
    dcb.BaudRate = 31250;  // MIDI: no constant
    ASSERT_TRUE(DcbToTermios(dcb, &t, &custom));
    EXPECT_EQ(custom, 31250u);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));  // left for BOTHER to set
}

TEST(SerialTermios, RefusedDcbLeavesTermiosAlone) {
    const termios before = RawBase();
    SerialDcb zeroBaud;
    zeroBaud.BaudRate = 0;  // would be B0: hang up the line
    SerialDcb bigByte;
    bigByte.ByteSize = 9;
    SerialDcb badParity;
    badParity.Parity = 5;
    SerialDcb badStop;
    badStop.StopBits = 3;
    for (const SerialDcb& dcb : {zeroBaud, bigByte, badParity, badStop}) {
        termios t = before;
        uint32_t custom = 0;
        EXPECT_FALSE(DcbToTermios(dcb, &t, &custom));
        EXPECT_EQ(memcmp(&t, &before, sizeof t), 0);
    }
}

TEST(SerialTermios, HandshakeAndFlowCharacters) {
    SerialDcb dcb;
    dcb.XonChar = 0x51;
    dcb.XoffChar = 0x53;
    dcb.fOutX = true;
    termios t = RawBase();
    uint32_t custom = 0;
    ASSERT_TRUE(DcbToTermios(dcb, &t, &custom));
    EXPECT_TRUE(t.c_iflag & IXON);
    EXPECT_FALSE(t.c_iflag & IXOFF);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_cc[VSTART], 0x51);
    EXPECT_EQ(t.c_cc[VSTOP], 0x53);

    dcb.fOutX = false;
    dcb.fInX = true;
    dcb.fOutxCtsFlow = true;
    ASSERT_TRUE(DcbToTermios(dcb, &t, &custom));
    EXPECT_FALSE(t.c_iflag & IXON);
    EXPECT_TRUE(t.c_iflag & IXOFF);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);

    dcb.fOutxCtsFlow = false;
    dcb.fRtsControl = 2;  // RTS handshake alone also needs CRTSCTS
    ASSERT_TRUE(DcbToTermios(dcb, &t, &custom));
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    dcb.fRtsControl = 1;
    ASSERT_TRUE(DcbToTermios(dcb, &t, &custom));
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
}

SerialTimeouts Reads(uint32_t interval, uint32_t mult, uint32_t constant) {
    SerialTimeouts t;
    t.ReadIntervalTimeout = interval;
    t.ReadTotalTimeoutMultiplier = mult;
    t.ReadTotalTimeoutConstant = constant;
    return t;
}

TEST(SerialReadTimeouts, AllZeroWaitsForTheFullCount) {
    CPendingRead r;
    const auto t0 = Clock::now();
    r.Start(Reads(0, 0, 0), 1024, t0);
    EXPECT_EQ(r.WaitMs(t0), -1);
    r.Add(1000, t0);
    EXPECT_FALSE(r.Complete(t0 + std::chrono::hours(1)));
    r.Add(24, t0);
    EXPECT_TRUE(r.Complete(t0));
    uint8_t out[1024];
    EXPECT_EQ(r.Take(out), 1024u);
    EXPECT_FALSE(r.Pending());
}

TEST(SerialReadTimeouts, MaxIntervalReturnsWhatIsThere) {
    CPendingRead r;
    const auto t0 = Clock::now();
    r.Start(Reads(0xFFFFFFFF, 0, 0), 1024, t0);
    EXPECT_EQ(r.WaitMs(t0), -1);  // sleeps until data: an idle port costs nothing
    EXPECT_FALSE(r.Complete(t0));
    r.Add(3, t0);
    EXPECT_TRUE(r.Complete(t0));
}

TEST(SerialReadTimeouts, FirstByteOrConstant) {
    CPendingRead r;
    const auto t0 = Clock::now();
    r.Start(Reads(0xFFFFFFFF, 0xFFFFFFFF, 200), 1024, t0);
    EXPECT_FALSE(r.Complete(t0 + milliseconds(199)));
    EXPECT_TRUE(r.Complete(t0 + milliseconds(200)));
    EXPECT_GE(r.WaitMs(t0), 200);
    EXPECT_LE(r.WaitMs(t0), 201);
    r.Start(Reads(0xFFFFFFFF, 0xFFFFFFFF, 200), 1024, t0);
    r.Add(1, t0);
    EXPECT_TRUE(r.Complete(t0));
}

TEST(SerialReadTimeouts, TotalAndInterval) {
    CPendingRead r;
    const auto t0 = Clock::now();
    r.Start(Reads(50, 2, 100), 10, t0);  // total 2 * 10 + 100
    EXPECT_FALSE(r.Complete(t0 + milliseconds(119)));
    EXPECT_TRUE(r.Complete(t0 + milliseconds(120)));
    r.Start(Reads(50, 2, 100), 10, t0);
    r.Add(2, t0 + milliseconds(10));
    EXPECT_FALSE(r.Complete(t0 + milliseconds(59)));
    EXPECT_TRUE(r.Complete(t0 + milliseconds(60)));  // 50 ms after the last byte
    EXPECT_LE(r.WaitMs(t0 + milliseconds(10)), 51);

    r.Start(Reads(50, 0, 0), 10, t0);  // interval only: no limit before the first byte
    EXPECT_EQ(r.WaitMs(t0), -1);
    EXPECT_FALSE(r.Complete(t0 + std::chrono::hours(1)));
}

}  // namespace
