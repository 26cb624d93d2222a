// Ends the sending direction of a connected socket, so that the next send
// on it fails while receiving goes on.
#pragma once

#include "platform/socket_api.h"

namespace testing_support {
void ShutdownSend(tovl::SocketHandle s);
}
