// The server's TLS listeners: one per value of the Tls\Listen key
// (PortLink = TCP port: the port-link protocol; COM<n> = TCP port: RFC 2217
// for COM<n>; COM<n> = TCPPORT;SPEED,FRAME: raw TCP for COM<n>), all with the certificate, key and
// client CA of the Tls key, read once at start. Each has its own accept thread running the shared
// accept loop with TLS (server/accept_loop.h); the plain listeners are not
// touched. Called once, by the server's worker, after the plain listeners.
#pragma once

#include "net/tls_stream.h"

namespace tovl {

// The Tls key's Certificate, Key and ClientCA, and ClientCRL if given.
// False (with the missing value in *why) when one of the first three is
// missing.
bool ReadTlsServerFiles(TlsServerFiles* files, std::string* why);

// Starts the TLS listeners; returns how many listen. Without a usable
// certificate none starts (logged).
int StartTlsListeners();

}  // namespace tovl
