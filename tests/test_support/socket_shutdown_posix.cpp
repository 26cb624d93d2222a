#include <sys/socket.h>

#include "test_support/socket_shutdown.h"

namespace testing_support {
void ShutdownSend(tovl::SocketHandle s) {
    shutdown(static_cast<int>(s), SHUT_WR);
}
}  // namespace testing_support
