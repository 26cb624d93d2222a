// TLS for a virtual port's connection: the values CA<n> or PIN<n>, CERT<n>
// and KEY<n> of the Tls\Client key (config/product_keys.h) make port n's
// connection a TLS one; without CA<n> and PIN<n> it stays plain TCP. Read at
// every connect, on the thread that sets the session up.
#pragma once

#include <cstdint>
#include <string>

#include "net/blocking_socket.h"

namespace tovl {

// Port n's TLS files as the registry holds them. False when the port
// connects in plain TCP.
bool ReadClientTlsFiles(uint32_t n, TlsClientFiles* files);

// Called right after the connection is made: when port n asks for TLS,
// runs the handshake (each wait bounded by seconds) and leaves TLS on the
// socket. False, with the reason in *why, when the server could not be
// verified or the handshake failed; true for a plain port.
bool StartClientTls(CBlockingSocket& socket, uint32_t n, int seconds, std::string* why);

}  // namespace tovl
