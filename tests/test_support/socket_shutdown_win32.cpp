#include <winsock2.h>

#include "test_support/socket_shutdown.h"

namespace testing_support {
void ShutdownSend(tovl::SocketHandle s) {
    shutdown(static_cast<SOCKET>(s), SD_SEND);
}
}  // namespace testing_support
