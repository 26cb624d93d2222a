// What the server opens for "COM<n>": on Windows the port name itself, on
// POSIX the device the registry's device map names (else /dev/ttyS<n-1>).
// Callable from any thread; reads the registry at each call, so a changed
// map applies at the next open.
#pragma once

#include <string>

namespace tovl {

// The name to hand to OpenSerialPort, or empty when COM<portNumber> can
// stand for no device (a number below 1).
std::string ResolvePortDevice(int portNumber);

}  // namespace tovl
