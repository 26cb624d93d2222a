// Any line rate through termios2 (BOTHER), in its own unit because the
// kernel's termios2 header cannot be included beside <termios.h>.
#pragma once

#include <cstdint>

namespace tovl {

// Sets both directions of the open tty fd to baud. False when refused.
bool SetCustomBaud(int fd, uint32_t baud);
// The tty's actual output rate in bits per second; false when unknown.
bool GetActualBaud(int fd, uint32_t* baud);
// Both rates the tty has, as the kernel keeps them; false when unknown.
bool GetLineSpeeds(int fd, uint32_t* inputBaud, uint32_t* outputBaud);

}  // namespace tovl
