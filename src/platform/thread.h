// Threads of the programs: every worker, session, reader and pump thread is
// started detached through StartThread and ends by returning. Callable from
// any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace tovl {

// What a thread reserves for its stack unless its starter says otherwise:
// the programs' threads keep their buffers on the heap, so 256 KiB is ample
// and a thousand sessions stay far below a gigabyte of address space. The
// sanitizers' instrumented frames need more.
#if defined(TOVL_SANITIZED_BUILD)
inline constexpr size_t kDefaultThreadStackBytes = size_t{1024} * 1024;
#else
inline constexpr size_t kDefaultThreadStackBytes = size_t{256} * 1024;
#endif

// Starts body on a new detached thread that reserves stackBytes for its
// stack. The callable is moved to the new thread and destroyed there when it
// returns. Returns false (and body is dropped) when no thread could be made.
// Anything body lets escape ends that thread alone, logged.
bool StartThread(std::function<void()> body, size_t stackBytes = kDefaultThreadStackBytes);

void SleepMs(uint32_t milliseconds);

// Stays alive without using the processor until the process is ended from
// outside.
[[noreturn]] void SleepForever();

// Ends the process at once with every thread in it, after flushing the
// standard streams. No destructor of a static object runs.
[[noreturn]] void ExitProcessNow(int code);

}  // namespace tovl
