// Who else uses a device, as /proc tells it: the processes with a
// descriptor open on it, and what a pid stands for (its command name, when
// it started). Only /proc is read, never a file another user could plant,
// so nothing here blocks. Any thread may call these.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/posix/serial_exclusive_posix.h"

namespace tovl {

// The outcome of a look through /proc/*/fd.
struct DeviceHolderScan {
    pid_t pid = 0;  // a process other than this one with the device open; 0: none seen
    // False when some process could not be looked at for another reason
    // than its end (no rights, or processes hidden from this one): a holder
    // may have gone unseen.
    bool complete = true;
};

// Looks for a process other than this one that has the device open. The
// first time a scan is incomplete the process logs a warning: exclusive use
// then rests on lock files, flock and TIOCEXCL. Sessions of this process
// are kept apart by flock instead.
DeviceHolderScan ScanForDeviceHolder(const SerialDeviceId& device);

// The command name of process pid (/proc/PID/comm), "" when it cannot be
// seen.
std::string ProcessCommand(pid_t pid);

// When process pid started, in seconds since the epoch. False when it
// cannot be told (ended, or hidden from this process).
bool ProcessStartTime(pid_t pid, double* epochSeconds);

// "pid 1234 (picocom)", or "pid 1234" when its command cannot be seen.
std::string DescribeProcess(pid_t pid);

}  // namespace tovl
