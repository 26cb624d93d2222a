// What makes a device ours alone before the port touches it: the path must
// name a terminal device, no other process may have it open, and the UUCP
// lock file of the device (the convention serial programs share) is held for
// as long as a port uses it.
//
// Lock files live in $TOVL_LOCK_DIR, default /run/lock, named LCK..<name>
// with <name> the last component of the device's real path (/dev/ttyUSB0:
// LCK..ttyUSB0); they hold the owner's pid as ten ASCII characters and a
// newline. The directory is writable by every user, so a lock file is only
// ever opened without blocking and without following links, and only a
// regular file counts: anything else planted under a device's lock name
// refuses that device alone. A lock file whose process has ended, or whose
// pid now belongs to a process started after the file was written, is taken
// over. No file is touched while a process-wide mutex is held. Any thread
// may call these; a CUucpLock belongs to the port that holds the device.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace tovl {

// The device behind path when it can be a serial port: an absolute path to
// a character device that is a terminal (links followed). False with the
// last error set (2: no such device or not a device) otherwise. Opens
// nothing.
//
// A device is its number together with the file system of its node where
// numbers are per file system: every devpts instance (each container has
// its own) counts its pseudo-terminals from 0. Elsewhere the number alone
// names the device, whichever node was opened.
struct SerialDeviceId {
    std::string realPath;  // path with every link resolved
    dev_t rdev = 0;
    dev_t fsDev = 0;              // st_dev of the node
    bool numberPerFsDev = false;  // the node lives on a devpts instance
};
bool IdentifySerialDevice(const std::string& path, SerialDeviceId* id);

// Whether st (of an open file or a node) is the device.
bool IsSameSerialDevice(const SerialDeviceId& device, const struct stat& st);

// The UUCP lock file of one device.
class CUucpLock {
  public:
    CUucpLock() = default;
    ~CUucpLock() { Release(); }
    CUucpLock(const CUucpLock&) = delete;
    CUucpLock& operator=(const CUucpLock&) = delete;
    CUucpLock(CUucpLock&& other) noexcept;
    CUucpLock& operator=(CUucpLock&& other) noexcept;

    // Takes the lock file of the device at realPath. False with the last
    // error 5 when a live process (this one included, for another port)
    // holds it or something other than a regular file has its name. When
    // the lock directory cannot be written the port goes on without a lock
    // file: true, nothing held.
    bool Acquire(const std::string& realPath);
    // Removes the lock file if it is still ours.
    void Release();
    bool Held() const { return !path_.empty(); }

  private:
    std::string path_;
};

// The lock directory: $TOVL_LOCK_DIR, else /run/lock.
std::string UucpLockDirectory();
// The lock file of the device at realPath.
std::string UucpLockPath(const std::string& realPath);

// What the lock file of a device says about its holder, for a log line:
// "locked by pid 77 (minicom) in /run/lock/LCK..ttyS0", the reason a
// planted file refuses the device, or "" when no live holder's lock is
// there.
std::string DescribeUucpLock(const std::string& lockPath);

}  // namespace tovl
