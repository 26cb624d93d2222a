// Diagnostics: one line per event of a service (listening, a connection
// accepted or refused, a port opened or refused, a session ended, ...).
// POSIX writes each line to stderr, with a syslog priority prefix ("<3>" to
// "<7>") when stderr is the journal, as plain text otherwise. The Windows
// programs stay silent, as they always have: the Win32 backend writes
// nothing. Never log data bytes. Callable from any thread; a line is
// written with one call, so lines of different threads do not mix.
#pragma once

#include <cstdint>
#include <string>

namespace tovl {

// The syslog priorities the journal understands.
enum class LogPriority { Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };

// From now on each line not written to the journal starts with the local
// date and time to the microsecond (a service in debug mode). Call before
// the threads that log start.
void EnableLogTimestamps();

// "2026-12-09 03:45:12.123456": the local date and time of micros (since
// the epoch) to the microsecond. Any thread.
std::string LocalTimestamp(int64_t micros);

// printf-style; the line ends with a newline of its own.
void LogLine(LogPriority priority, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

}  // namespace tovl
