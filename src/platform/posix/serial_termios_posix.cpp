#include "platform/posix/serial_termios_posix.h"

namespace tovl {

namespace {

struct SpeedEntry {
    uint32_t baud;
    speed_t constant;
};

constexpr SpeedEntry kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

// Where the input rate's bits sit in c_cflag (the kernel's IBSHIFT).
constexpr int kInputSpeedShift = 16;
static_assert((static_cast<tcflag_t>(CBAUD) << kInputSpeedShift) == CIBAUD);

}  // namespace

speed_t SpeedConstantFor(uint32_t baud) {
    for (const SpeedEntry& e : kSpeeds)
        if (e.baud == baud) return e.constant;
    return 0;
}

void MakeRaw(termios* tio) {
    cfmakeraw(tio);
    tio->c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    tio->c_cflag |= CLOCAL | CREAD;
    tio->c_cc[VMIN] = 1;
    tio->c_cc[VTIME] = 0;
}

bool DcbToTermios(const SerialDcb& dcb, termios* tio, uint32_t* customBaud) {
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 ||
        dcb.StopBits > 2)
        return false;
    termios t = *tio;
    const speed_t speed = SpeedConstantFor(dcb.BaudRate);
    *customBaud = speed == 0 ? dcb.BaudRate : 0;
    if (speed != 0) {
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
        // The C library sets only the output rate's bits; the kernel takes
        // the input rate from its own bits, which an earlier custom rate
        // (BOTHER) or a split rate leaves behind: they follow the output.
        t.c_cflag &= ~static_cast<tcflag_t>(CIBAUD);
        t.c_cflag |= static_cast<tcflag_t>(speed) << kInputSpeedShift;
    }

    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= kSizes[dcb.ByteSize - 5] | CLOCAL | CREAD;
    switch (dcb.Parity) {
        case 1:
            t.c_cflag |= PARENB | PARODD;
            break;
        case 2:
            t.c_cflag |= PARENB;
            break;
        case 3:
            t.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case 4:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    // One and a half stop bits exist only for 5 data bits; the tty has two.
    if (dcb.StopBits != 0) t.c_cflag |= CSTOPB;
    // Linux has one switch for both directions of the hardware handshake.
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == 2) t.c_cflag |= CRTSCTS;

    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    if (dcb.fOutX) t.c_iflag |= IXON;
    if (dcb.fInX) t.c_iflag |= IXOFF;
    if (dcb.Parity != 0 && dcb.fParity) t.c_iflag |= INPCK;
    t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    *tio = t;
    return true;
}

SerialDcb DcbFromTermios(const termios& tio, uint32_t baud, const SerialDcb& base) {
    SerialDcb dcb = base;
    dcb.BaudRate = baud;
    switch (tio.c_cflag & CSIZE) {
        case CS5:
            dcb.ByteSize = 5;
            break;
        case CS6:
            dcb.ByteSize = 6;
            break;
        case CS7:
            dcb.ByteSize = 7;
            break;
        default:
            dcb.ByteSize = 8;
            break;
    }
    if (!(tio.c_cflag & PARENB))
        dcb.Parity = 0;
    else if (tio.c_cflag & CMSPAR)
        dcb.Parity = (tio.c_cflag & PARODD) ? 3 : 4;
    else
        dcb.Parity = (tio.c_cflag & PARODD) ? 1 : 2;
    dcb.StopBits = (tio.c_cflag & CSTOPB) ? 2 : 0;
    const bool rtscts = (tio.c_cflag & CRTSCTS) != 0;
    dcb.fOutxCtsFlow = rtscts;
    if (rtscts)
        dcb.fRtsControl = 2;
    else if (dcb.fRtsControl == 2)
        dcb.fRtsControl = 1;
    dcb.fOutX = (tio.c_iflag & IXON) != 0;
    dcb.fInX = (tio.c_iflag & IXOFF) != 0;
    dcb.XonChar = tio.c_cc[VSTART];
    dcb.XoffChar = tio.c_cc[VSTOP];
    return dcb;
}

}  // namespace tovl
