// The translation of a pseudo-terminal's termios into the settings that travel.
#include "client/posix/pty_settings_posix.h"

#include <gtest/gtest.h>

namespace tovl {

namespace {

termios Raw(speed_t speed) {
    termios t{};
    cfmakeraw(&t);
    cfsetspeed(&t, speed);
    t.c_cc[VSTART] = 0x11;
    t.c_cc[VSTOP] = 0x13;
    return t;
}

}  // namespace

TEST(PtySettings, PlainRawPortKeepsDtrAndRtsRaised) {
    PortLinkSettings s = TermiosToLinkSettings(Raw(B9600));
    EXPECT_EQ(s.BaudRate, 9600u);
    EXPECT_EQ(s.ByteSize, 8);
    EXPECT_EQ(s.StopBits, 0);
    EXPECT_EQ(s.Parity, 0);
    EXPECT_EQ(s.XonChar, 0x11);
    EXPECT_EQ(s.XoffChar, 0x13);
    EXPECT_EQ(s.ControlHandShake, 0x01);
    EXPECT_EQ(s.FlowReplace, 0x40u);
    EXPECT_EQ(s.XonLimit, 2048);
    EXPECT_EQ(s.XoffLimit, 512);
}

TEST(PtySettings, HandshakesStopBitsParityAndCharacters) {
    termios t = Raw(B115200);
    t.c_cflag |= CSTOPB | CRTSCTS | PARENB | PARODD;
    t.c_cflag = (t.c_cflag & ~CSIZE) | CS7;
    t.c_iflag |= IXON | IXOFF;
    t.c_cc[VSTART] = 'A';
    t.c_cc[VSTOP] = 'B';
    PortLinkSettings s = TermiosToLinkSettings(t);
    EXPECT_EQ(s.BaudRate, 115200u);
    EXPECT_EQ(s.StopBits, 2);
    EXPECT_EQ(s.Parity, 1);
    EXPECT_EQ(s.ByteSize, 7);
    EXPECT_EQ(s.XonChar, 'A');
    EXPECT_EQ(s.XoffChar, 'B');
    EXPECT_EQ(s.ControlHandShake, 0x09);
    EXPECT_EQ(s.FlowReplace, 0x83u);
    t.c_cflag &= ~PARODD;
    EXPECT_EQ(TermiosToLinkSettings(t).Parity, 2);
}

TEST(PtySettings, EverySpeedCodeMapsToItsRate) {
    EXPECT_EQ(SpeedCodeToBaud(B50), 50u);
    EXPECT_EQ(SpeedCodeToBaud(B19200), 19200u);
    EXPECT_EQ(SpeedCodeToBaud(B921600), 921600u);
    EXPECT_EQ(SpeedCodeToBaud(B4000000), 4000000u);
    EXPECT_EQ(SpeedCodeToBaud(B0), 0u);
}

TEST(PtySettings, OnlyTravellingFieldsCountAsAChange) {
    termios a = Raw(B9600);
    termios b = a;
    b.c_lflag |= ECHO;
    EXPECT_FALSE(SettingsDiffer(a, b));
    cfsetspeed(&b, B19200);
    EXPECT_TRUE(SettingsDiffer(a, b));
    b = a;
    b.c_iflag |= IXOFF;
    EXPECT_TRUE(SettingsDiffer(a, b));
    b = a;
    b.c_cc[VSTOP] = 1;
    EXPECT_TRUE(SettingsDiffer(a, b));
}

}  // namespace tovl
