// What makes a device ours alone before the port touches it: the path must
// name a terminal device, no other process may have it open, and the UUCP
// lock file of the device (the convention serial programs share) is held for
// as long as a port uses it.
//
// Lock files live in $TOVL_LOCK_DIR, default /run/lock, named LCK..<name>
// with <name> the last component of the device's real path (/dev/ttyUSB0:
// LCK..ttyUSB0); they hold the owner's pid as ten ASCII characters and a
// newline. A lock file whose process has gone is taken over. Any thread may
// call these; a CUucpLock belongs to the port that holds the device.
#pragma once

#include <sys/types.h>

#include <string>

namespace tovl {

// The device behind path when it can be a serial port: an absolute path to
// a character device that is a terminal (links followed). False with the last error set (2:
// no such device or not a device) otherwise. Opens nothing.
struct SerialDeviceId {
    std::string realPath;  // path with every link resolved
    dev_t rdev = 0;
};
bool IdentifySerialDevice(const std::string& path, SerialDeviceId* id);

// True when a process other than this one has a descriptor open on the
// device (found through /proc/<pid>/fd). Processes whose descriptors cannot
// be seen (without root rights) are not found. Sessions of this process are
// kept apart by flock instead.
bool DeviceOpenElsewhere(const SerialDeviceId& device);

// The UUCP lock file of one device.
class CUucpLock {
  public:
    CUucpLock() = default;
    ~CUucpLock() { Release(); }
    CUucpLock(const CUucpLock&) = delete;
    CUucpLock& operator=(const CUucpLock&) = delete;
    CUucpLock(CUucpLock&& other) noexcept;
    CUucpLock& operator=(CUucpLock&& other) noexcept;

    // Takes the lock file of the device at realPath. False when a live
    // process (this one included, for another port) holds it. When the lock
    // directory cannot be written the port goes on without a lock file:
    // true, nothing held.
    bool Acquire(const std::string& realPath);
    // Removes the lock file if it is still ours.
    void Release();
    bool Held() const { return !path_.empty(); }

  private:
    std::string path_;
};

// The lock directory: $TOVL_LOCK_DIR, else /run/lock.
std::string UucpLockDirectory();

}  // namespace tovl
