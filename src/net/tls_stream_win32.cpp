// TLS is provided on Linux only: the Windows programs say so and stay plain.
#include "net/tls_stream.h"

namespace tovl {

class CTlsContext {};

namespace {

constexpr const char* kNoTls = "TLS is not available on this platform";

}  // namespace

std::shared_ptr<CTlsContext> MakeTlsServerContext(const TlsServerFiles& /*files*/,
                                                  std::string* why) {
    *why = kNoTls;
    return nullptr;
}

std::shared_ptr<CTlsContext> MakeTlsClientContext(const TlsClientFiles& /*files*/,
                                                  std::string* why) {
    *why = kNoTls;
    return nullptr;
}

std::shared_ptr<CTlsStream> MakeTlsStream(const std::shared_ptr<CTlsContext>& /*context*/) {
    return nullptr;
}

}  // namespace tovl
