#include "client/posix/pty_settings_posix.h"

#include <cstring>

namespace tovl {

namespace {

struct SpeedEntry {
    speed_t code;
    uint32_t baud;
};

const SpeedEntry kSpeeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

uint8_t ByteSize(tcflag_t cflag) {
    switch (cflag & CSIZE) {
        case CS5:
            return 5;
        case CS6:
            return 6;
        case CS7:
            return 7;
        default:
            return 8;
    }
}

}  // namespace

uint32_t SpeedCodeToBaud(speed_t code) {
    for (const auto& entry : kSpeeds)
        if (entry.code == code) return entry.baud;
    return 0;
}

PortLinkSettings TermiosToLinkSettings(const termios& t) {
    return TermiosToLinkSettings(t, SpeedCodeToBaud(cfgetospeed(&t)));
}

PortLinkSettings TermiosToLinkSettings(const termios& t, uint32_t baud) {
    PortLinkSettings s;
    s.BaudRate = baud;
    s.XonChar = t.c_cc[VSTART];
    s.XoffChar = t.c_cc[VSTOP];
    s.ByteSize = ByteSize(t.c_cflag);
    s.StopBits = (t.c_cflag & CSTOPB) ? 2 : 0;  // TWOSTOPBITS : ONESTOPBIT
    s.Parity = (t.c_cflag & PARENB) ? ((t.c_cflag & PARODD) ? 1 : 2) : 0;
    const bool hardware = (t.c_cflag & CRTSCTS) != 0;
    // DTR on, with CTS handshake 0x08; RTS on (0x40) or RTS handshake (0x80).
    s.ControlHandShake = static_cast<uint8_t>(0x01 | (hardware ? 0x08 : 0));
    s.FlowReplace = hardware ? 0x80 : 0x40;
    if (t.c_iflag & IXON) s.FlowReplace |= 0x01;
    if (t.c_iflag & IXOFF) s.FlowReplace |= 0x02;
    s.XonLimit = kPtyXonLimit;
    s.XoffLimit = kPtyXoffLimit;
    return s;
}

bool SettingsDiffer(const termios& a, const termios& b) {
    const tcflag_t cmask = CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS;
    const tcflag_t imask = IXON | IXOFF;
    return cfgetospeed(&a) != cfgetospeed(&b) || (a.c_cflag & cmask) != (b.c_cflag & cmask) ||
           (a.c_iflag & imask) != (b.c_iflag & imask) || a.c_cc[VSTART] != b.c_cc[VSTART] ||
           a.c_cc[VSTOP] != b.c_cc[VSTOP];
}

}  // namespace tovl
