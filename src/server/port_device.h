// What the server opens for "COM<n>": on Windows the port name itself, on
// POSIX the device the registry's device map names (else /dev/ttyS<n-1>).
// Callable from any thread; reads the registry at each call, so a changed
// map applies at the next open.
#pragma once

#include <memory>
#include <string>

#include "platform/serial_port.h"

namespace tovl {

// The name to hand to OpenSerialPort, or empty when COM<portNumber> can
// stand for no device (a number below 1).
std::string ResolvePortDevice(int portNumber);
// Opens what COM<portNumber> stands for, as every session opens its port.
// On POSIX a fallback to /dev/ttyS<n-1> and a device that is missing or no
// terminal are logged in the words of the admin's check. Null on failure,
// with *status telling why.
std::shared_ptr<CSerialPort> OpenPortDevice(int portNumber, CStatus* status);

}  // namespace tovl
