// OpenSSL behind the TLS stream: one SSL object per connection over a pair
// of memory BIOs, fed from and drained to the socket by the seam's calls.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "net/tls_stream.h"

namespace tovl {

namespace {

// The TLS 1.2 suites (TLS 1.3 has only AEAD suites with forward secrecy).
constexpr const char* kTls12Suites =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
// The most ciphertext taken from the socket at once: during the handshake
// one whole record; in a session as much as a plain receive would take.
constexpr int kWireChunk = 16 * 1024 + 512;
constexpr int kReceiveChunk = 64 * 1024;
// A TLS record's first byte: a handshake record.
constexpr unsigned char kHandshakeRecord = 0x16;

struct SslCtxFree {
    void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
    void operator()(SSL* s) const { SSL_free(s); }
};

// The library's last error in words (and its queue emptied).
std::string LibraryError(const char* fallback) {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (code == 0) return fallback;
    const char* reason = ERR_reason_error_string(code);
    return reason != nullptr ? reason : fallback;
}

std::string Sha256Hex(X509* certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1) return "";
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

std::string SubjectText(X509* certificate) {
    BIO* out = BIO_new(BIO_s_mem());
    if (out == nullptr) return "";
    X509_NAME_print_ex(out, X509_get_subject_name(certificate), 0, XN_FLAG_RFC2253);
    char* data = nullptr;
    const long size = BIO_get_mem_data(out, &data);
    std::string text(data, static_cast<size_t>(std::max(size, 0L)));
    BIO_free(out);
    return text;
}

}  // namespace

class CTlsContext {
  public:
    CTlsContext(SSL_CTX* context, bool server, std::string pin)
        : context_(context), server_(server), pin_(std::move(pin)) {}
    SSL_CTX* Get() const { return context_.get(); }
    bool Server() const { return server_; }
    const std::string& Pin() const { return pin_; }

  private:
    std::unique_ptr<SSL_CTX, SslCtxFree> context_;
    bool server_;
    std::string pin_;
};

namespace {

// Versions, suites and no session tickets (no state kept between sessions).
SSL_CTX* NewContext(const SSL_METHOD* method, std::string* why) {
    SSL_CTX* c = SSL_CTX_new(method);
    if (c == nullptr) {
        *why = LibraryError("no TLS context");
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(c, TLS1_3_VERSION);
    SSL_CTX_set_cipher_list(c, kTls12Suites);
    SSL_CTX_set_options(c, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_TICKET | SSL_OP_NO_COMPRESSION);
    SSL_CTX_set_num_tickets(c, 0);
    SSL_CTX_set_session_cache_mode(c, SSL_SESS_CACHE_OFF);
    return c;
}

bool LoadOwn(SSL_CTX* c, const std::string& certificate, const std::string& key, std::string* why) {
    if (SSL_CTX_use_certificate_chain_file(c, certificate.c_str()) != 1) {
        *why = "certificate " + certificate + ": " + LibraryError("cannot be read");
        return false;
    }
    if (SSL_CTX_use_PrivateKey_file(c, key.c_str(), SSL_FILETYPE_PEM) != 1) {
        const bool mismatch = ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH;
        *why = mismatch ? "key " + key + " does not belong to certificate " + certificate
                        : "key " + key + ": " + LibraryError("cannot be read");
        ERR_clear_error();
        return false;
    }
    if (SSL_CTX_check_private_key(c) != 1) {
        *why = "key " + key + " does not belong to certificate " + certificate;
        ERR_clear_error();
        return false;
    }
    return true;
}

bool LoadCa(SSL_CTX* c, const std::string& ca, std::string* why) {
    if (SSL_CTX_load_verify_locations(c, ca.c_str(), nullptr) != 1) {
        *why = "CA " + ca + ": " + LibraryError("cannot be read");
        return false;
    }
    return true;
}

// The identity of the certificate a chain check is looking at (its leaf).
TlsIdentity IdentityOf(X509* certificate) {
    TlsIdentity identity;
    identity.subject = SubjectText(certificate);
    identity.sha256 = Sha256Hex(certificate);
    return identity;
}

// Called by the library for each certificate of the peer's chain; notes the
// peer's own certificate, so that a refused one is named in the log too.
// The client that verifies by its pin does not let the library judge the
// chain: the fingerprint is compared once the handshake is done.
int NoteChain(int ok, X509_STORE_CTX* store);

class CTlsStreamImpl final : public CTlsStream {
  public:
    CTlsStreamImpl(std::shared_ptr<CTlsContext> context, SSL* ssl)
        : context_(std::move(context)), ssl_(ssl) {
        BIO* in = BIO_new(BIO_s_mem());
        BIO* out = BIO_new(BIO_s_mem());
        if (in == nullptr || out == nullptr) {
            BIO_free(in);
            BIO_free(out);
            return;
        }
        in_ = in;
        out_ = out;
        SSL_set_bio(ssl_.get(), in, out);  // the SSL object owns both from here
        SSL_set_app_data(ssl_.get(), this);
        SSL_set_verify(ssl_.get(), SSL_get_verify_mode(ssl_.get()), NoteChain);
        if (context_->Server())
            SSL_set_accept_state(ssl_.get());
        else
            SSL_set_connect_state(ssl_.get());
    }

    TlsHandshakeResult Handshake(const CSocketHandle& socket, int seconds,
                                 std::string* why) override {
        if (in_ == nullptr) {
            *why = "out of memory";
            return TlsHandshakeResult::Failed;
        }
        for (;;) {
            ERR_clear_error();
            const int rc = SSL_do_handshake(ssl_.get());
            const int error = rc == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl_.get(), rc);
            // What the handshake has to say goes out first (an alert included).
            std::string reason;
            if (error != SSL_ERROR_NONE && error != SSL_ERROR_WANT_READ)
                reason = HandshakeFailure();
            if (!Flush(socket, std::max(seconds, 1))) {
                *why = reason.empty() ? "the peer stopped taking the handshake" : reason;
                return TlsHandshakeResult::Failed;
            }
            if (error == SSL_ERROR_NONE) return Finish(why);
            if (error != SSL_ERROR_WANT_READ) {
                *why = reason;
                return TlsHandshakeResult::Failed;
            }
            char wire[kWireChunk];
            const int got = SockRecvWithin(socket, wire, sizeof wire, seconds);
            if (got == kSockTimedOut) {
                if (seconds == 0) return TlsHandshakeResult::WantRead;
                *why = "no answer within " + std::to_string(seconds) + " s";
                return TlsHandshakeResult::Failed;
            }
            if (got <= 0) {
                *why = got == 0 ? "the peer closed the connection during the handshake"
                                : "connection failed during the handshake (error " +
                                      std::to_string(SockLastError()) + ")";
                return TlsHandshakeResult::Failed;
            }
            if (!sawBytes_ && static_cast<unsigned char>(wire[0]) != kHandshakeRecord) {
                *why = "not TLS: the peer sent plain bytes";
                return TlsHandshakeResult::Failed;
            }
            sawBytes_ = true;
            BIO_write(in_, wire, got);
        }
    }

    TlsIdentity Peer() const override { return peer_; }

    // The library's chain check, on the owner's thread during the handshake.
    int ChainChecked(int ok, X509_STORE_CTX* store) {
        X509* leaf = X509_STORE_CTX_get0_cert(store);
        if (leaf != nullptr && peer_.sha256.empty()) peer_ = IdentityOf(leaf);
        return context_->Pin().empty() ? ok : 1;
    }

    int Send(const CSocketHandle& socket, const void* data, int length, int seconds) override {
        std::lock_guard<std::mutex> wire(wireLock_);
        int taken = 0;
        {
            std::lock_guard<std::mutex> state(stateLock_);
            if (length > 0) {
                ERR_clear_error();
                taken = SSL_write(ssl_.get(), data, length);
                if (taken <= 0) {
                    ERR_clear_error();
                    SockSetLastError(kWsaEconnaborted);
                    return -1;
                }
            }
        }
        const int flushed = FlushLocked(socket, seconds);
        return flushed < 0 ? flushed : taken;
    }

    int Receive(const CSocketHandle& socket, void* buffer, int capacity, int seconds) override {
        if (capacity <= 0) return 0;
        for (;;) {
            int n = 0;
            bool pending = false;
            {
                std::lock_guard<std::mutex> state(stateLock_);
                // Every whole record already here, as far as the buffer goes.
                int error = SSL_ERROR_NONE;
                while (n < capacity) {
                    ERR_clear_error();
                    const int got =
                        SSL_read(ssl_.get(), static_cast<char*>(buffer) + n, capacity - n);
                    if (got <= 0) {
                        error = SSL_get_error(ssl_.get(), got);
                        break;
                    }
                    n += got;
                }
                pending = BIO_ctrl_pending(out_) > 0;
                // An end or a failure behind data is reported by the next call.
                if (n == 0 && error == SSL_ERROR_ZERO_RETURN) return 0;
                if (n == 0 && error != SSL_ERROR_WANT_READ) {
                    ERR_clear_error();
                    SockSetLastError(kWsaEconnaborted);
                    return -1;
                }
            }
            // A record the library made while reading (a key update's answer)
            // goes out unless a send is under way, which takes it along.
            if (pending) FlushIfFree(socket);
            if (n > 0) return n;
            if (!received_) received_ = std::make_unique<char[]>(kReceiveChunk);
            const int got = SockRecvWithin(socket, received_.get(), kReceiveChunk, seconds);
            if (got <= 0) return got;
            std::lock_guard<std::mutex> state(stateLock_);
            BIO_write(in_, received_.get(), got);
        }
    }

  private:
    // Handshake only: nothing else runs on the stream yet.
    bool Flush(const CSocketHandle& socket, int seconds) {
        return FlushLocked(socket, seconds) >= 0;
    }

    // With the wire lock held (or before the stream is shared): sends every
    // record made so far. 0, or the failed send's result.
    int FlushLocked(const CSocketHandle& socket, int seconds) {
        std::vector<char>& records = records_;
        for (;;) {
            {
                std::lock_guard<std::mutex> state(stateLock_);
                const size_t pending = BIO_ctrl_pending(out_);
                if (pending == 0) return 0;
                records.resize(pending);
                BIO_read(out_, records.data(), static_cast<int>(pending));
            }
            size_t done = 0;
            while (done < records.size()) {
                const int sent = SockSendWithin(socket, records.data() + done,
                                                static_cast<int>(records.size() - done), seconds);
                if (sent < 0) return sent;
                done += static_cast<size_t>(sent);
            }
        }
    }

    void FlushIfFree(const CSocketHandle& socket) {
        std::unique_lock<std::mutex> wire(wireLock_, std::try_to_lock);
        if (wire.owns_lock()) FlushLocked(socket, 1);
    }

    std::string HandshakeFailure() {
        std::string reason = LibraryError("handshake failed");
        const long verify = SSL_get_verify_result(ssl_.get());
        if (verify != X509_V_OK)
            reason += std::string(": ") + X509_verify_cert_error_string(verify);
        NotePeer();
        return reason;
    }

    void NotePeer() {
        X509* certificate = SSL_get0_peer_certificate(ssl_.get());
        if (certificate != nullptr) peer_ = IdentityOf(certificate);
    }

    TlsHandshakeResult Finish(std::string* why) {
        NotePeer();
        const std::string& pin = context_->Pin();
        if (!pin.empty() && peer_.sha256 != pin) {
            *why = "the server's certificate is not the pinned one (it is sha256:" + peer_.sha256 +
                   ")";
            return TlsHandshakeResult::Failed;
        }
        return TlsHandshakeResult::Done;
    }

    std::shared_ptr<CTlsContext> context_;
    std::unique_ptr<SSL, SslFree> ssl_;
    BIO* in_ = nullptr;   // owned by ssl_
    BIO* out_ = nullptr;  // owned by ssl_
    bool sawBytes_ = false;
    TlsIdentity peer_;
    std::mutex stateLock_;              // the SSL object and its buffers
    std::mutex wireLock_;               // records go out whole and in order
    std::unique_ptr<char[]> received_;  // the receiving thread's: ciphertext taken in
    std::vector<char> records_;         // under wireLock_ (or before sharing): records going out
};

int NoteChain(int ok, X509_STORE_CTX* store) {
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* stream = ssl != nullptr ? static_cast<CTlsStreamImpl*>(SSL_get_app_data(ssl)) : nullptr;
    return stream != nullptr ? stream->ChainChecked(ok, store) : ok;
}

}  // namespace

std::shared_ptr<CTlsContext> MakeTlsServerContext(const TlsServerFiles& files, std::string* why) {
    std::unique_ptr<SSL_CTX, SslCtxFree> c(NewContext(TLS_server_method(), why));
    if (!c) return nullptr;
    if (!LoadOwn(c.get(), files.certificate, files.key, why) ||
        !LoadCa(c.get(), files.clientCa, why))
        return nullptr;
    if (!files.clientCrl.empty()) {
        // The client's own certificate is looked up in the CA's revocation list.
        X509_STORE* store = SSL_CTX_get_cert_store(c.get());
        X509_LOOKUP* lookup = X509_STORE_add_lookup(store, X509_LOOKUP_file());
        if (lookup == nullptr ||
            X509_load_crl_file(lookup, files.clientCrl.c_str(), X509_FILETYPE_PEM) <= 0) {
            *why = "revocation list " + files.clientCrl + ": " + LibraryError("cannot be read");
            return nullptr;
        }
        X509_STORE_set_flags(store, X509_V_FLAG_CRL_CHECK);
    }
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(files.clientCa.c_str());
    if (names != nullptr) SSL_CTX_set_client_CA_list(c.get(), names);
    ERR_clear_error();
    SSL_CTX_set_verify(c.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    return std::make_shared<CTlsContext>(c.release(), true, "");
}

std::shared_ptr<CTlsContext> MakeTlsClientContext(const TlsClientFiles& files, std::string* why) {
    std::unique_ptr<SSL_CTX, SslCtxFree> c(NewContext(TLS_client_method(), why));
    if (!c) return nullptr;
    if (!files.certificate.empty() && !LoadOwn(c.get(), files.certificate, files.key, why))
        return nullptr;
    if (!files.pinSha256.empty()) {
        SSL_CTX_set_verify(c.get(), SSL_VERIFY_PEER, nullptr);
    } else {
        if (files.ca.empty()) {
            *why = "neither a CA nor a pinned fingerprint to verify the server by";
            return nullptr;
        }
        if (!LoadCa(c.get(), files.ca, why)) return nullptr;
        SSL_CTX_set_verify(c.get(), SSL_VERIFY_PEER, nullptr);
    }
    return std::make_shared<CTlsContext>(c.release(), false, files.pinSha256);
}

std::shared_ptr<CTlsStream> MakeTlsStream(const std::shared_ptr<CTlsContext>& context) {
    SSL* ssl = context ? SSL_new(context->Get()) : nullptr;
    if (ssl == nullptr) return nullptr;
    return std::make_shared<CTlsStreamImpl>(context, ssl);
}

}  // namespace tovl
