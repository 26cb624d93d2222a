#include "config/cert_entry.h"

namespace tovl {

namespace {

constexpr const char* kSha256Prefix = "cert:sha256:";
constexpr const char* kSubjectPrefix = "cert:subject:";

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

}  // namespace

bool IsCertEntryName(const std::string& name) {
    return StartsWith(name, kCertEntryPrefix);
}

std::string NormalSha256(const std::string& text) {
    std::string hex;
    bool afterColon = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        // Colons only between bytes: one after every second digit.
        const bool colonFits = !afterColon && !hex.empty() && hex.size() % 2 == 0;
        afterColon = c == ':';
        if (afterColon && colonFits && i + 1 < text.size()) continue;
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))
            hex += c;
        else if (c >= 'A' && c <= 'F')
            hex += static_cast<char>(c - 'A' + 'a');
        else
            return "";
    }
    return hex.size() == 64 ? hex : "";
}

bool ParseCertEntry(const std::string& name, CertEntryKind* kind, std::string* value,
                    std::string* why) {
    if (StartsWith(name, kSha256Prefix)) {
        const std::string hex =
            NormalSha256(name.substr(std::char_traits<char>::length(kSha256Prefix)));
        if (hex.empty()) {
            *why = "a SHA-256 fingerprint is 64 hex digits (colons between bytes allowed)";
            return false;
        }
        *kind = CertEntryKind::Sha256;
        *value = hex;
        return true;
    }
    if (StartsWith(name, kSubjectPrefix)) {
        const std::string subject = name.substr(std::char_traits<char>::length(kSubjectPrefix));
        if (subject.find('=') == std::string::npos) {
            *why = "a subject reads like CN=NAME[,O=ORG...] (RFC 2253, as the server logs it)";
            return false;
        }
        if (subject.find_first_of("/\\") != std::string::npos) {
            *why = "a subject in the list cannot hold / or \\";
            return false;
        }
        *kind = CertEntryKind::Subject;
        *value = subject;
        return true;
    }
    *why = "a certificate entry reads cert:sha256:HEX or cert:subject:CN=NAME";
    return false;
}

std::string CertEntryName(CertEntryKind kind, const std::string& value) {
    return (kind == CertEntryKind::Sha256 ? kSha256Prefix : kSubjectPrefix) + value;
}

}  // namespace tovl
