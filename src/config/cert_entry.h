// Certificates as entries of the allowed list. Beside the dotted addresses,
// the IpAddr key may hold values named
//   cert:sha256:<64 hex digits>     one certificate, by its SHA-256 fingerprint
//   cert:subject:<RFC 2253 subject> every certificate the client CA signed
//                                   for that subject ("CN=plc-7,O=Works")
// A peer on a TLS listener is listed when its address or its certificate is.
// The one parser of these names, for the server and for tovladmin; pure
// text, any thread.
#pragma once

#include <string>

namespace tovl {

enum class CertEntryKind { Sha256, Subject };

inline constexpr const char* kCertEntryPrefix = "cert:";

// True when name begins with "cert:" (it is then a certificate entry, sound
// or not, and never an address).
bool IsCertEntryName(const std::string& name);

// Reads a certificate entry. The fingerprint may be written in either case
// and with colons between the bytes (as openssl x509 -fingerprint prints
// it); *value is then 64 lower-case hex digits. False, with the reason in
// *why, for anything else.
bool ParseCertEntry(const std::string& name, CertEntryKind* kind, std::string* value,
                    std::string* why);

// The value name the server looks a certificate up by.
std::string CertEntryName(CertEntryKind kind, const std::string& value);

// A fingerprint in any of the accepted spellings as 64 lower-case hex
// digits; "" when it is not one.
std::string NormalSha256(const std::string& text);

}  // namespace tovl
