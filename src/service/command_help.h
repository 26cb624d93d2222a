// The informational options of the services' command line: "--help" and
// "--version" on Linux. The Windows programs keep exactly their specified
// command line, so there the answer is always "not an information request".
// Called by the service host on the main thread before any command word.
#pragma once

namespace tovl {

struct ServiceProgram;

// True when argv[1] asks for help or the version; the text is then printed
// on stdout and *exitCode set.
bool AnswerInformationRequest(const ServiceProgram& program, int argc, char** argv, int* exitCode);

}  // namespace tovl
