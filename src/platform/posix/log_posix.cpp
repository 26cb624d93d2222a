#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/log.h"

namespace tovl {

namespace {

// The journal names the stream it gave us as "device:inode" in
// JOURNAL_STREAM; only then do priority prefixes mean anything.
bool StderrIsJournal() {
    // The programs never change their environment.
    const char* stream = getenv("JOURNAL_STREAM");  // NOLINT(concurrency-mt-unsafe)
    if (stream == nullptr) return false;
    struct stat st {};
    if (fstat(STDERR_FILENO, &st) != 0) return false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    if (sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
    return device == static_cast<unsigned long long>(st.st_dev) &&
           inode == static_cast<unsigned long long>(st.st_ino);
}

bool g_timestamps = false;

// "2026-12-09 03:45:12.123456 "; the number of characters written.
int Timestamp(char* out, size_t capacity) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const std::string text = LocalTimestamp(int64_t{now.tv_sec} * 1000000 + now.tv_nsec / 1000);
    return snprintf(out, capacity, "%s ", text.c_str());
}

}  // namespace

void EnableLogTimestamps() {
    g_timestamps = true;
}

void LogLine(LogPriority priority, const char* format, ...) {
    static const bool journal = StderrIsJournal();
    char line[1024];
    int used = journal        ? snprintf(line, sizeof line, "<%d>", static_cast<int>(priority))
               : g_timestamps ? Timestamp(line, sizeof line)
                              : 0;
    va_list args;
    va_start(args, format);
    const int text =
        vsnprintf(line + used, sizeof line - static_cast<size_t>(used) - 1, format, args);
    va_end(args);
    if (text < 0) return;
    used = static_cast<int>(strlen(line));
    line[used++] = '\n';
    // One write per line: lines of different threads never interleave.
    ssize_t ignored = write(STDERR_FILENO, line, static_cast<size_t>(used));
    (void)ignored;
}

}  // namespace tovl
