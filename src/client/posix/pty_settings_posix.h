// The line settings an application gave a pseudo-terminal, as they travel to
// the server (PortLinkSettings): speed, stop bits, parity as far as
// the pty keeps it, the XON/XOFF characters and the handshake flags, with
// DTR and RTS held raised as a POSIX application expects of an open port.
#pragma once

#include <termios.h>

#include <cstdint>

#include "net/port_link.h"

namespace tovl {

constexpr uint16_t kPtyXonLimit = 2048;
constexpr uint16_t kPtyXoffLimit = 512;

// The speed of a termios speed code in bits per second (0 when unknown).
uint32_t SpeedCodeToBaud(speed_t code);

PortLinkSettings TermiosToLinkSettings(const termios& t);
// The same with the pty's actual speed (any rate set through termios2).
PortLinkSettings TermiosToLinkSettings(const termios& t, uint32_t baud);

// True when the fields that travel to the server differ.
bool SettingsDiffer(const termios& a, const termios& b);

}  // namespace tovl
