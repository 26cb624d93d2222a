// The line settings an application gave a pseudo-terminal, in the form the
// driver reports them (VexaPortSettings): speed, stop bits, parity as far as
// the pty keeps it, the XON/XOFF characters and the handshake flags, with
// DTR and RTS held raised as a POSIX application expects of an open port.
#pragma once

#include <termios.h>

#include <cstdint>

#include "client/vexa_driver.h"

namespace tovl {

constexpr uint32_t kPtyXonLimit = 2048;
constexpr uint32_t kPtyXoffLimit = 512;

// The speed of a termios speed code in bits per second (0 when unknown).
uint32_t SpeedCodeToBaud(speed_t code);

VexaPortSettings TermiosToVexaSettings(const termios& t);
// The same with the pty's actual speed (any rate set through termios2).
VexaPortSettings TermiosToVexaSettings(const termios& t, uint32_t baud);

// True when the fields that travel to the server differ.
bool SettingsDiffer(const termios& a, const termios& b);

}  // namespace tovl
