#include "platform/posix/serial_baud_posix.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace tovl {

bool SetCustomBaud(int fd, uint32_t baud) {
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = baud;
    t.c_ospeed = baud;
    return ioctl(fd, TCSETS2, &t) == 0;
}

bool GetActualBaud(int fd, uint32_t* baud) {
    uint32_t input = 0;
    return GetLineSpeeds(fd, &input, baud);
}

bool GetLineSpeeds(int fd, uint32_t* inputBaud, uint32_t* outputBaud) {
    struct termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0) return false;
    *inputBaud = t.c_ispeed;
    *outputBaud = t.c_ospeed;
    return true;
}

}  // namespace tovl
