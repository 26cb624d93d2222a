// The provider of virtual ports of this platform, installed as the binding
// of the virtual port functions: the driver's control device on Windows, the
// client's own pseudo-terminal ports on POSIX (made from the registry here).
// Called once by the worker before the port list is read.
#pragma once

namespace tovl {

void StartVexaBinding();

}  // namespace tovl
