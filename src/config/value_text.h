// The configuration's value texts judged one by one, with the problem put in
// words: shared by "tovladmin check" and the services, which log the same
// sentence when they meet the same value. Pure functions over strings; any
// thread may call.
#pragma once

#include <string>

namespace tovl {

// Decimal digits only (at most 9), within [low, high]; the number in *value.
bool IsDecimalIn(const std::string& text, long low, long high, long* value);
// An optional '-' and decimal digits, nothing else.
bool IsSignedDecimal(const std::string& text);
// True for four numbers 0 to 255 joined by dots, nothing else.
bool IsDottedDecimal(const std::string& text);
// A dotted decimal text as a peer's address is written (no leading zeros):
// "010.0.0.7" gives "10.0.0.7". Only for text IsDottedDecimal accepts.
std::string CanonicalDotted(const std::string& text);
// text for a message: control bytes shown as \n, \r, \t, \0 or \xNN.
std::string ShownText(const std::string& text);
// text as a JSON string, quotes included (tovladmin's and the server's
// --json answers).
std::string JsonString(const std::string& text);

// The problem with REMOTEPORT<n>'s text, or "" when the client will use it.
std::string ExplainRemotePort(unsigned n, const std::string& text);
// The problem with a PORT<n> time-out text, or "".
std::string ExplainPortTimeouts(unsigned n, const std::string& text);
// What a missing PORT<n> value means.
std::string ExplainMissingPortTimeouts(unsigned n);

}  // namespace tovl
