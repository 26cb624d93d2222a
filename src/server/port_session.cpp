// The session's message loop. Until real ports are served, every open
// request is answered with PL_OPEN_FAILED after the access check, and the
// session ends.
#include "server/port_session.h"

#include "net/port_link.h"
#include "server/access_check.h"

uint32_t RunPortSession(CBlockingSocket& connection) {
    try {
        for (;;) {
            uint32_t code = 0;
            if (!ReadU32(connection, &code, kNoTimeout)) break;
            if (code == PL_CLOSE) break;
            if (code == PL_OPEN) {
                uint32_t portNumber = 0;
                if (!ReadU32(connection, &portNumber, kFieldTimeout)) break;
                IsPeerAllowed(connection);
                WriteU32(connection, PL_OPEN_FAILED, kFieldTimeout);
                break;
            }
        }
    } catch (const CBlockingSocketException&) {
    }
    connection.Close();
    return 0;
}
