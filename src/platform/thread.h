// Threads of the programs: every worker, session, reader and pump thread is
// started detached through StartThread and ends by returning. Callable from
// any thread.
#pragma once

#include <cstdint>

namespace tovl {

// A thread entry as the programs write them: one pointer parameter, a 32-bit
// result that nobody reads.
using ThreadProc = uint32_t (*)(void* param);

// Starts proc(param) on a new detached thread with the default stack size.
// Returns false when no thread could be made.
bool StartThread(ThreadProc proc, void* param);

void SleepMs(uint32_t milliseconds);

// Stays alive without using the processor until the process is ended from
// outside.
[[noreturn]] void SleepForever();

// Ends the process at once with every thread in it, after flushing the
// standard streams. No destructor of a static object runs.
[[noreturn]] void ExitProcessNow(int code);

}  // namespace tovl
