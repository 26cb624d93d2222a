// The device list against a fake sysfs and /dev: UARTs only where the
// kernel found one, USB adapters with their identity and by-id names, the
// COM of each (by-id, plain or ttyS fallback), and Devices-key values that
// name a pseudo-terminal or nothing.
#include "admin/posix/device_list_posix.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "config/product_keys.h"
#include "test_support/temp_registry.h"

namespace fs = std::filesystem;

namespace {

void Write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << '\n';
}

class DeviceListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char folder[] = "/tmp/tovl-devices-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        top_ = folder;
        roots_.sysfs = (top_ / "sys").string();
        roots_.dev = (top_ / "dev").string();
        const fs::path sys = roots_.sysfs, dev = roots_.dev;
        // One FTDI-style adapter: USB device, interface, usb-serial port.
        const fs::path usb = sys / "devices/pci0000:00/usb1/1-2";
        Write(usb / "idVendor", "0403");
        Write(usb / "idProduct", "6001");
        Write(usb / "manufacturer", "Acme");
        Write(usb / "product", "Widget UART");
        Write(usb / "serial", "AB12");
        const fs::path port = usb / "1-2:1.0/ttyUSB0";
        fs::create_directories(port);
        Write(sys / "bus/usb-serial/drivers/ftdi_sio/.keep", "");
        fs::create_directory_symlink(sys / "bus/usb-serial/drivers/ftdi_sio", port / "driver");
        AddTty("ttyUSB0", port, "");
        // ttyS0 found by the kernel behind the serial-base layer, ttyS1 with
        // no UART, ttyS2 with one.
        const fs::path pnp = sys / "devices/pnp0/00:00";
        const fs::path base = pnp / "00:00:0/00:00:0.0";
        fs::create_directories(base);
        Write(sys / "bus/serial-base/drivers/port/.keep", "");
        Write(sys / "bus/serial-base/drivers/ctrl/.keep", "");
        Write(sys / "bus/pnp/drivers/serial/.keep", "");
        fs::create_directory_symlink(sys / "bus/serial-base/drivers/port", base / "driver");
        fs::create_directory_symlink(sys / "bus/serial-base/drivers/ctrl",
                                     base.parent_path() / "driver");
        fs::create_directory_symlink(sys / "bus/pnp/drivers/serial", pnp / "driver");
        AddTty("ttyS0", base, "4");
        AddTty("ttyS1", sys / "devices/platform/serial8250", "0");
        AddTty("ttyS2", sys / "devices/platform/serial8250", "4");
        Write(sys / "class/tty/tty1/dev", "4:1");
        Write(dev / "tty1", "");
        fs::create_directories(dev / "serial/by-id");
        byId_ = (dev / "serial/by-id/usb-Acme_Widget_UART_AB12-if00-port0").string();
        fs::create_symlink("../../ttyUSB0", byId_);
        ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
        ptyPath_ = ttyname(slave_);
    }

    void TearDown() override {
        if (master_ >= 0) close(master_);
        if (slave_ >= 0) close(slave_);
        fs::remove_all(top_);
    }

    void AddTty(const std::string& name, const fs::path& device, const std::string& type) {
        const fs::path dir = fs::path(roots_.sysfs) / "class/tty" / name;
        fs::create_directories(dir);
        fs::create_directories(device);
        fs::create_directory_symlink(device, dir / "device");
        if (!type.empty()) Write(dir / "type", type);
        Write(fs::path(roots_.dev) / name, "");
    }

    std::string Dev(const std::string& name) const { return roots_.dev + "/" + name; }

    std::vector<tovl::SerialDeviceEntry> List() {
        return tovl::ListSerialDevices(roots_, tovl::ReadDevicesKey());
    }

    fs::path top_;
    tovl::SerialDeviceRoots roots_;
    std::string byId_, ptyPath_;
    int master_ = -1, slave_ = -1;
    testing_support::TempRegistry registry_;
};

TEST_F(DeviceListTest, ListsKernelSerialDevicesWithDriverAndUsbIdentity) {
    const std::vector<tovl::SerialDeviceEntry> entries = List();
    ASSERT_EQ(entries.size(), 3U);
    EXPECT_EQ(entries[0].path, Dev("ttyS0"));
    EXPECT_EQ(entries[0].kind, tovl::SerialDeviceKind::Uart);
    EXPECT_EQ(entries[0].driver, "serial");  // not the serial-base "port"
    EXPECT_EQ(entries[0].usbId, "");
    EXPECT_EQ(entries[1].path, Dev("ttyS2"));
    const tovl::SerialDeviceEntry& usb = entries[2];
    EXPECT_EQ(usb.path, Dev("ttyUSB0"));
    EXPECT_EQ(usb.kind, tovl::SerialDeviceKind::UsbSerial);
    EXPECT_EQ(usb.driver, "ftdi_sio");
    EXPECT_EQ(usb.usbId, "0403:6001");
    EXPECT_EQ(usb.manufacturer, "Acme");
    EXPECT_EQ(usb.product, "Widget UART");
    EXPECT_EQ(usb.serial, "AB12");
    EXPECT_EQ(usb.byId, std::vector<std::string>{byId_});
}

TEST_F(DeviceListTest, MapsEachComToItsDeviceAndListsWhatMatchesNone) {
    registry_.SetValue(tovl::kDevicesKey, "COM3", byId_);
    registry_.SetValue(tovl::kDevicesKey, "COM4", Dev("ttyUSB0"));
    registry_.SetValue(tovl::kDevicesKey, "COM5", ptyPath_);
    registry_.SetValue(tovl::kDevicesKey, "COM7", Dev("ttyS9"));
    const std::vector<tovl::SerialDeviceEntry> entries = List();
    ASSERT_EQ(entries.size(), 5U);
    // ttyS0 is COM1 by default; COM3 has a value, so ttyS2 is no COM.
    ASSERT_EQ(entries[0].coms.size(), 1U);
    EXPECT_EQ(entries[0].coms[0].number, 1);
    EXPECT_TRUE(entries[0].coms[0].fallback);
    EXPECT_TRUE(entries[1].coms.empty());
    ASSERT_EQ(entries[2].coms.size(), 2U);
    EXPECT_EQ(entries[2].coms[0].number, 3);
    EXPECT_EQ(entries[2].coms[0].value, byId_);
    EXPECT_EQ(entries[2].coms[1].number, 4);
    EXPECT_EQ(entries[3].path, ptyPath_);
    EXPECT_EQ(entries[3].kind, tovl::SerialDeviceKind::PseudoTerminal);
    ASSERT_EQ(entries[3].coms.size(), 1U);
    EXPECT_EQ(entries[3].coms[0].number, 5);
    EXPECT_EQ(entries[4].path, Dev("ttyS9"));
    EXPECT_EQ(entries[4].kind, tovl::SerialDeviceKind::Missing);
}

TEST_F(DeviceListTest, TableMarksHowEachComIsMappedInItsColumn) {
    registry_.SetValue(tovl::kDevicesKey, "COM3", byId_);
    std::ostringstream out;
    tovl::PrintSerialDeviceTable(List(), out);
    std::vector<std::string> lines;
    std::istringstream in(out.str());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 4U) << out.str();
    const size_t comColumn = lines[0].find("COM");
    EXPECT_EQ(lines[1].find("COM1(default)"), comColumn) << out.str();
    EXPECT_EQ(lines[3].find("COM3(by-id)"), comColumn) << out.str();
    EXPECT_NE(lines[3].find(" usb-Acme_Widget_UART_AB12-if00-port0 "), std::string::npos);
}

}  // namespace
