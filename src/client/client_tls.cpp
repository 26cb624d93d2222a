#include "client/client_tls.h"

#include <cstring>

#include "config/cert_entry.h"
#include "config/product_keys.h"
#include "platform/log.h"
#include "platform/registry.h"

namespace tovl {

namespace {

std::string ReadText(CRegKey& key, const std::string& name) {
    char data[1024] = {};
    uint32_t size = sizeof data - 1;
    if (key.QueryValue(name.c_str(), data, &size) != 0) return "";
    return std::string(data, strnlen(data, size));
}

}  // namespace

bool ReadClientTlsFiles(uint32_t n, TlsClientFiles* files) {
    CRegKey key;
    if (key.OpenLocalMachine(kTlsClientKey) != 0) return false;
    const std::string number = std::to_string(n);
    files->ca = ReadText(key, "CA" + number);
    files->pinSha256 = NormalSha256(ReadText(key, "PIN" + number));
    files->certificate = ReadText(key, "CERT" + number);
    files->key = ReadText(key, "KEY" + number);
    return !files->ca.empty() || !ReadText(key, "PIN" + number).empty();
}

bool StartClientTls(CBlockingSocket& socket, uint32_t n, int seconds, std::string* why) {
    TlsClientFiles files;
    if (!ReadClientTlsFiles(n, &files)) return true;
    if (files.ca.empty() && files.pinSha256.empty()) {
        *why = "TLS: PIN" + std::to_string(n) + " is not a SHA-256 fingerprint";
        return false;
    }
    std::shared_ptr<CTlsContext> context = MakeTlsClientContext(files, why);
    std::shared_ptr<CTlsStream> stream = context ? MakeTlsStream(context) : nullptr;
    if (!stream) {
        *why = "TLS: " + (why->empty() ? std::string("no TLS state") : *why);
        return false;
    }
    socket.AttachTls(stream);
    if (socket.TlsHandshake(seconds, why) != TlsHandshakeResult::Done) {
        *why = "TLS handshake failed: " + *why;
        return false;
    }
    LogLine(LogPriority::Info, "virtual port %u: TLS with the server's %s", n,
            DescribeIdentity(stream->Peer()).c_str());
    return true;
}

}  // namespace tovl
