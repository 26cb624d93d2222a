// One raw TCP session: a connection accepted on the raw listener of COM<n>
// carries the port's bytes both ways as they are, with no negotiation and
// no escaping, for programs that expect a serial port's plain bytes on a
// socket (netcat, socat, PLC software). The line is set as configured at
// each connect. Listed peers only (a stranger is closed at once); one
// session per real port across every protocol. A protocol on the session
// core (server/session_core.h); runs on the connection's own thread.
#pragma once

#include "config/raw_value.h"
#include "net/blocking_socket.h"
#include "platform/serial_port.h"
#include "server/admission.h"

namespace tovl {

void RunRawSession(CBlockingSocket& connection, int portNumber, const RawLine& line,
                   const SessionAdmission& admission);

// The same with the port taken from openPort (tests pass a fake); without
// an admission the peer is asked of the connection.
void RunRawSessionWith(CBlockingSocket& connection, int portNumber, const RawLine& line,
                       const SessionAdmission& admission, const SerialPortOpener& openPort);

// The line as the serial seam's DCB fields, on top of dcb.
void ApplyRawLine(const RawLine& line, SerialDcb* dcb);

}  // namespace tovl
