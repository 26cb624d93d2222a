// The two pumps of a running session, each run on its own thread with the
// session's shared context. SocketToDriverPump is the session socket's only
// reader, DriverToSocketPump its only writer; the latter ends the session
// when the session's stop is set or its connection fails, closes the socket
// and clears serving. The caller reports each pump's end (PumpFinished).
#pragma once

#include "client/client_session.h"

namespace tovl {

void DriverToSocketPump(ClientSessionContext& session);
void SocketToDriverPump(ClientSessionContext& session);

}  // namespace tovl
