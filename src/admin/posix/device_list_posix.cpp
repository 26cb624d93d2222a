#include "admin/posix/device_list_posix.h"

#include <strings.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "config/product_keys.h"
#include "config/value_text.h"
#include "platform/registry.h"
#include "platform/serial_port.h"

namespace tovl {

namespace fs = std::filesystem;

namespace {

// Unix98 pseudo-terminal slaves (/dev/pts/N) have majors 136 to 143.
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;

struct NamePrefix {
    const char* prefix;
    SerialDeviceKind kind;
};
const NamePrefix kPrefixes[] = {{"ttyS", SerialDeviceKind::Uart},
                                {"ttyUSB", SerialDeviceKind::UsbSerial},
                                {"ttyACM", SerialDeviceKind::UsbModem}};

// The first line of a sysfs attribute, "" when there is none.
std::string ReadAttribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.pop_back();
    return line;
}

// The resolved path, or path itself when it does not resolve.
std::string Resolved(const std::string& path) {
    std::error_code ec;
    const fs::path real = fs::canonical(path, ec);
    return ec ? path : real.string();
}

// "ttyUSB12" -> kind UsbSerial, number 12; false for other names.
bool SerialName(const std::string& name, SerialDeviceKind* kind, long* number) {
    for (const NamePrefix& p : kPrefixes) {
        const std::string prefix = p.prefix;
        if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string digits = name.substr(prefix.size());
        if (digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        *kind = p.kind;
        *number = strtol(digits.c_str(), nullptr, 10);
        return true;
    }
    return false;
}

// The driver of the tty's device. Recent kernels put serial-base "port" and
// "ctrl" devices between a UART and its tty; the driver an operator knows
// (serial8250, the PNP "serial") is on the hardware device above them.
std::string DriverOf(fs::path device, const fs::path& sysfs) {
    for (int depth = 0; depth < 4 && device.string().size() > sysfs.string().size(); ++depth) {
        std::error_code ec;
        const fs::path target = fs::read_symlink(device / "driver", ec);
        if (ec && depth == 0) return {};
        if (!ec && target.string().find("/bus/serial-base/") == std::string::npos)
            return target.filename().string();
        device = device.parent_path();
    }
    return {};
}

// Fills the USB identity from the first folder above device that has one.
void ReadUsbIdentity(fs::path device, const fs::path& sysfs, SerialDeviceEntry* entry) {
    for (; device.string().size() > sysfs.string().size(); device = device.parent_path()) {
        const std::string vendor = ReadAttribute(device / "idVendor");
        if (vendor.empty()) continue;
        entry->usbId = vendor + ":" + ReadAttribute(device / "idProduct");
        entry->manufacturer = ReadAttribute(device / "manufacturer");
        entry->product = ReadAttribute(device / "product");
        entry->serial = ReadAttribute(device / "serial");
        return;
    }
}

// A UART is there when the kernel found a port type other than unknown (0).
bool HasUart(const fs::path& ttyDir) {
    const std::string type = ReadAttribute(ttyDir / "type");
    return !type.empty() && type.find_first_not_of('0') != std::string::npos;
}

SerialDeviceKind KindOfUnlisted(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return SerialDeviceKind::Missing;
    const unsigned devMajor = major(st.st_rdev);
    if (S_ISCHR(st.st_mode) && devMajor >= kPtySlaveMajorFirst && devMajor <= kPtySlaveMajorLast)
        return SerialDeviceKind::PseudoTerminal;
    return SerialDeviceKind::Unlisted;
}

const char* KindWord(SerialDeviceKind kind) {
    switch (kind) {
        case SerialDeviceKind::Uart:
            return "uart";
        case SerialDeviceKind::UsbSerial:
            return "usb-serial";
        case SerialDeviceKind::UsbModem:
            return "usb-acm";
        case SerialDeviceKind::PseudoTerminal:
            return "pseudo-terminal";
        case SerialDeviceKind::Missing:
            return "missing";
        case SerialDeviceKind::Unlisted:
            break;
    }
    return "not-a-serial-device";
}

// "COM3", "COM3(by-id)" for a mapping through a by-id link, "COM3(link)"
// through another name, "COM1(default)" for the ttyS fallback.
std::string ComWord(const ComUse& com, const SerialDeviceEntry& entry) {
    std::string word = "COM" + std::to_string(com.number);
    if (com.fallback) return word + "(default)";
    if (com.value == entry.path) return word;
    if (std::find(entry.byId.begin(), entry.byId.end(), com.value) != entry.byId.end())
        return word + "(by-id)";
    return word + "(link)";
}

std::string Joined(const std::vector<std::string>& parts, const char* separator) {
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : separator) + part;
    return text;
}

}  // namespace

SerialDeviceRoots SerialDeviceRootsFromEnvironment() {
    SerialDeviceRoots roots;
    // Read once on the main thread before anything else runs.
    const char* sysfs = getenv("TOVL_SYSFS_ROOT");  // NOLINT(concurrency-mt-unsafe)
    const char* dev = getenv("TOVL_DEV_ROOT");      // NOLINT(concurrency-mt-unsafe)
    if (sysfs && *sysfs) roots.sysfs = sysfs;
    if (dev && *dev) roots.dev = dev;
    return roots;
}

std::vector<std::string> ByIdNamesOf(const SerialDeviceRoots& roots, const std::string& path) {
    std::vector<std::string> names;
    const fs::path folder = fs::path(roots.dev) / "serial" / "by-id";
    const std::string target = Resolved(path);
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string link = it->path().string();
        if (link == path) return {};
        if (Resolved(link) == target) names.push_back(link);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<SerialDeviceEntry> ListSerialDevices(const SerialDeviceRoots& roots,
                                                 const std::vector<ComUse>& devicesKey) {
    struct Found {
        SerialDeviceKind kind;
        long number;
        std::string name;
    };
    std::vector<Found> found;
    const fs::path sysfs = Resolved(roots.sysfs);
    const fs::path ttyClass = sysfs / "class" / "tty";
    std::error_code ec;
    for (fs::directory_iterator it(ttyClass, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        Found f{SerialDeviceKind::Uart, 0, name};
        if (!SerialName(name, &f.kind, &f.number)) continue;
        if (f.kind == SerialDeviceKind::Uart && !HasUart(it->path())) continue;
        found.push_back(f);
    }
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return a.kind != b.kind ? a.kind < b.kind : a.number < b.number;
    });

    std::vector<SerialDeviceEntry> entries;
    std::map<std::string, size_t> byResolved;
    for (const Found& f : found) {
        SerialDeviceEntry entry;
        entry.path = (fs::path(roots.dev) / f.name).string();
        entry.kind = f.kind;
        entry.byId = ByIdNamesOf(roots, entry.path);
        std::error_code linkError;
        const fs::path device = fs::canonical(ttyClass / f.name / "device", linkError);
        if (!linkError) {
            entry.driver = DriverOf(device, sysfs);
            ReadUsbIdentity(device, sysfs, &entry);
        }
        byResolved[Resolved(entry.path)] = entries.size();
        entries.push_back(entry);
    }

    std::vector<bool> configured(256, false);
    for (const ComUse& com : devicesKey) {
        if (com.number > 0 && com.number < 256) configured[com.number] = true;
        const std::string resolved = Resolved(com.value);
        auto at = byResolved.find(resolved);
        if (at == byResolved.end()) {
            SerialDeviceEntry entry;
            entry.path = com.value;
            entry.kind = KindOfUnlisted(com.value);
            at = byResolved.emplace(resolved, entries.size()).first;
            entries.push_back(entry);
        }
        entries[at->second].coms.push_back(com);
    }
    // COM<n> without a value is opened as /dev/ttyS<n-1>.
    for (size_t i = 0; i < found.size(); ++i) {
        const long com = found[i].number + 1;
        if (found[i].kind == SerialDeviceKind::Uart && com <= 255 && !configured[com])
            entries[i].coms.push_back(ComUse{com, entries[i].path, true});
    }
    for (SerialDeviceEntry& entry : entries) {
        std::sort(entry.coms.begin(), entry.coms.end(),
                  [](const ComUse& a, const ComUse& b) { return a.number < b.number; });
        if (entry.kind != SerialDeviceKind::Missing)
            entry.holder = DescribeSerialHolder(entry.path);
    }
    return entries;
}

std::vector<ComUse> ReadDevicesKey() {
    std::vector<ComUse> values;
    CRegKey key;
    if (key.OpenLocalMachine(kDevicesKey) != 0) return values;
    std::string name;
    for (uint32_t i = 0; key.EnumValueName(i, &name) == 0; ++i) {
        // Only the names the server asks for: COM1 to COM255, in any case.
        const std::string digits = name.size() > 3 ? name.substr(3) : "";
        if (digits.empty() || digits.size() > 3 || digits[0] == '0' ||
            digits.find_first_not_of("0123456789") != std::string::npos ||
            strncasecmp(name.c_str(), "COM", 3) != 0)
            continue;
        const long number = strtol(digits.c_str(), nullptr, 10);
        if (number > 255) continue;
        char data[1024] = {};
        uint32_t size = sizeof data - 1;
        if (key.QueryValue(name.c_str(), data, &size) != 0 || data[0] == '\0') continue;
        values.push_back(ComUse{number, data, false});
    }
    return values;
}

void PrintSerialDeviceTable(const std::vector<SerialDeviceEntry>& entries, std::ostream& out) {
    std::vector<std::vector<std::string>> rows = {
        {"DEVICE", "COM", "KIND", "DRIVER", "USB", "PRODUCT", "SERIAL", "BY-ID", "HOLDER"}};
    for (const SerialDeviceEntry& e : entries) {
        std::vector<std::string> coms, byId;
        for (const ComUse& com : e.coms) coms.push_back(ComWord(com, e));
        for (const std::string& link : e.byId) byId.push_back(fs::path(link).filename().string());
        std::string product = e.manufacturer;
        if (!e.product.empty()) product += (product.empty() ? "" : " ") + e.product;
        rows.push_back({e.path, Joined(coms, ","), KindWord(e.kind), e.driver, e.usbId, product,
                        e.serial, Joined(byId, ","), e.holder});
    }
    std::vector<size_t> width(rows[0].size(), 0);
    for (std::vector<std::string>& row : rows)
        for (size_t c = 0; c < row.size(); ++c) {
            if (row[c].empty()) row[c] = "-";
            width[c] = std::max(width[c], row[c].size());
        }
    for (const std::vector<std::string>& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c)
            line += c + 1 < row.size() ? row[c] + std::string(width[c] - row[c].size() + 2, ' ')
                                       : row[c];
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out << line << '\n';
    }
}

void PrintSerialDeviceJson(const std::vector<SerialDeviceEntry>& entries, std::ostream& out) {
    out << "[";
    for (size_t i = 0; i < entries.size(); ++i) {
        const SerialDeviceEntry& e = entries[i];
        out << (i ? ",\n " : "\n ") << "{\"device\": " << JsonString(e.path)
            << ", \"kind\": " << JsonString(KindWord(e.kind))
            << ", \"driver\": " << JsonString(e.driver) << ", \"usb\": " << JsonString(e.usbId)
            << ", \"manufacturer\": " << JsonString(e.manufacturer)
            << ", \"product\": " << JsonString(e.product)
            << ", \"serial\": " << JsonString(e.serial) << ", \"byId\": [";
        for (size_t j = 0; j < e.byId.size(); ++j) out << (j ? ", " : "") << JsonString(e.byId[j]);
        out << "], \"coms\": [";
        for (size_t j = 0; j < e.coms.size(); ++j)
            out << (j ? ", " : "") << "{\"com\": " << e.coms[j].number
                << ", \"value\": " << JsonString(e.coms[j].value)
                << ", \"fallback\": " << (e.coms[j].fallback ? "true" : "false") << "}";
        out << "], \"holder\": " << JsonString(e.holder) << "}";
    }
    out << (entries.empty() ? "]\n" : "\n]\n");
}

}  // namespace tovl
