// The pure translation between the DCB and termios: what the Windows serial
// driver would do with a DCB, done to a Linux tty. No descriptor is touched.
#pragma once

#include <termios.h>

#include <cstdint>

#include "platform/serial_port.h"

namespace tovl {

// The speed constant of a standard rate; 0 when the rate has none.
speed_t SpeedConstantFor(uint32_t baud);

// Puts a tty in raw mode: every byte passes unchanged, no echo, no line
// editing, no output processing, receiver on, modem lines not needed.
void MakeRaw(termios* tio);

// Applies dcb on top of *tio. False (and *tio untouched) when the DCB cannot
// be applied: a BaudRate of 0 (it would hang up the line), ByteSize outside 5
// to 8, Parity above 4, StopBits above 2. *customBaud is 0 for a standard
// rate (set in *tio for both directions), else the rate to set through
// BOTHER.
bool DcbToTermios(const SerialDcb& dcb, termios* tio, uint32_t* customBaud);

// The DCB fields that termios holds, read back from *tio, over base (which
// keeps what termios cannot hold). baud is the line's actual rate.
SerialDcb DcbFromTermios(const termios& tio, uint32_t baud, const SerialDcb& base);

}  // namespace tovl
