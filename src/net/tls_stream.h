// TLS under CBlockingSocket: a stream object the socket owns once TLS is
// started on it, so that every protocol above sends and receives exactly its
// own bytes while the wire carries TLS records. TLS 1.2 and 1.3 only, with
// forward-secret AEAD suites; the peer is always verified (the server asks
// every client for a certificate signed by its client CA; the client checks
// the server against its CA or a pinned SHA-256 fingerprint).
//
// The library (OpenSSL on Linux) works on memory buffers only: every byte
// goes to and from the wire through the socket seam's own calls, so waits
// keep their bounds and a close from another thread still wakes them. One
// thread may send while another receives: the TLS state is touched under a
// lock that is never held across a wait, and records go out under a second
// lock in the order they were made. The handshake is driven by its owner
// alone (the accept loop, or the client's connect) before the stream is
// shared.
//
// On platforms without a TLS library here (Windows) making a context fails
// with "TLS is not available on this platform".
#pragma once

#include <memory>
#include <string>

#include "platform/socket_api.h"

namespace tovl {

struct TlsServerFiles {
    std::string certificate;  // PEM, the server's certificate (chain)
    std::string key;          // PEM, its private key
    std::string clientCa;     // PEM, the CA that signs the clients' certificates
    std::string clientCrl;    // optional: PEM, the CA's list of revoked certificates
};

struct TlsClientFiles {
    std::string ca;           // PEM, the CA the server's certificate must chain to
    std::string pinSha256;    // or the server certificate's SHA-256 (64 hex digits)
    std::string certificate;  // PEM, this client's certificate
    std::string key;          // PEM, its private key
};

// Who a certificate names: its subject (RFC 2253 text) and the SHA-256 of
// its DER bytes (64 lower-case hex digits). Both empty when none was shown.
struct TlsIdentity {
    std::string subject;
    std::string sha256;
};

// "CN=x sha256:ab12..." for log lines; "no certificate" when empty.
inline std::string DescribeIdentity(const TlsIdentity& identity) {
    if (identity.sha256.empty()) return "no certificate";
    return "certificate \"" + identity.subject + "\" sha256:" + identity.sha256;
}

// A configured library context, shared by every stream made from it.
class CTlsContext;

// Null, with the reason in *why, when a file cannot be used.
std::shared_ptr<CTlsContext> MakeTlsServerContext(const TlsServerFiles& files, std::string* why);
std::shared_ptr<CTlsContext> MakeTlsClientContext(const TlsClientFiles& files, std::string* why);

enum class TlsHandshakeResult { Done, WantRead, Failed };

class CTlsStream {
  public:
    virtual ~CTlsStream() = default;

    // Owner's thread, before the stream is shared. Drives the handshake with
    // every wait for the peer bounded by seconds; with seconds 0 it takes
    // only what has arrived and returns WantRead when it needs more (the
    // accept loop calls it again when the socket is readable). Failed comes
    // with the reason in *why (a plaintext peer, a certificate refused, ...).
    virtual TlsHandshakeResult Handshake(const CSocketHandle& socket, int seconds,
                                         std::string* why) = 0;
    // After the handshake (or after it failed, when the peer showed one):
    // the certificate the peer presented.
    virtual TlsIdentity Peer() const = 0;

    // The socket seam's SockSendWithin and SockRecvWithin through TLS, with
    // the same results: a count, 0 at the peer's end, -1 with the socket
    // error set, kSockTimedOut.
    virtual int Send(const CSocketHandle& socket, const void* data, int length, int seconds) = 0;
    virtual int Receive(const CSocketHandle& socket, void* buffer, int capacity, int seconds) = 0;
};

// A stream on the server's or the client's side, as the context was made.
std::shared_ptr<CTlsStream> MakeTlsStream(const std::shared_ptr<CTlsContext>& context);

}  // namespace tovl
