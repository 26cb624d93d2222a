// The serial devices of this machine as "tovladmin device list" shows them:
// every UART the kernel found (ttyS<n> whose sysfs type is not unknown),
// every USB serial adapter (ttyUSB<n>) and modem-class device (ttyACM<n>),
// with the /dev/serial/by-id links that point at each, its driver, its USB
// identity, the COM<n> mapped to it and who holds it. Devices-key values that
// name nothing in that list (a pseudo-terminal, a missing path) are listed
// too. Only sysfs, /dev and /proc are read; no device is opened. Main thread.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace tovl {

// Where sysfs and /dev are. The defaults unless TOVL_SYSFS_ROOT or
// TOVL_DEV_ROOT name another folder (a fake tree for tests).
struct SerialDeviceRoots {
    std::string sysfs = "/sys";
    std::string dev = "/dev";
};
SerialDeviceRoots SerialDeviceRootsFromEnvironment();

// One COM<n> of the Devices key, or a ttyS<n-1> taken for COM<n> because the
// key has no value for it.
struct ComUse {
    long number = 0;
    std::string value;  // the path as configured; the device path for a fallback
    bool fallback = false;
};

enum class SerialDeviceKind { Uart, UsbSerial, UsbModem, PseudoTerminal, Missing, Unlisted };

struct SerialDeviceEntry {
    std::string path;  // the device's /dev path, or the configured path of an unlisted one
    SerialDeviceKind kind = SerialDeviceKind::Uart;
    std::vector<std::string> byId;  // full paths of the by-id links to it
    std::string driver;
    std::string usbId;  // "vvvv:pppp", "" when not on USB
    std::string manufacturer;
    std::string product;
    std::string serial;
    std::vector<ComUse> coms;
    std::string holder;  // DescribeSerialHolder's words, "" when free or unknown
};

// The machine's devices in name order (ttyS2 before ttyS10), then the
// Devices-key values that match none of them. devicesKey holds the key's
// COM<n> values as configured (fallback false). Two paths are the same
// device when they resolve to the same file.
std::vector<SerialDeviceEntry> ListSerialDevices(const SerialDeviceRoots& roots,
                                                 const std::vector<ComUse>& devicesKey);

// The Devices key's COM<n> values (other names are left out).
std::vector<ComUse> ReadDevicesKey();

// One device a line under a header, columns aligned; or a JSON array.
void PrintSerialDeviceTable(const std::vector<SerialDeviceEntry>& entries, std::ostream& out);
void PrintSerialDeviceJson(const std::vector<SerialDeviceEntry>& entries, std::ostream& out);

// The by-id links that resolve to the same device as path; empty when path
// is itself one of them.
std::vector<std::string> ByIdNamesOf(const SerialDeviceRoots& roots, const std::string& path);

}  // namespace tovl
