// The POSIX serial port on a pseudo-terminal: the test holds the master,
// the port opens the slave through the registry's device map.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/last_error.h"
#include "platform/posix/serial_baud_posix.h"
#include "platform/serial_port.h"
#include "server/port_device.h"
#include "test_support/temp_registry.h"

using namespace tovl;
using namespace testing_support;

namespace {

// The outcome of the last OpenCom.
CStatus g_lastOpen;

// COM<n> as the server opens it: through the registry's device map.
std::shared_ptr<CSerialPort> OpenCom(int n) {
    return OpenSerialPort(ResolvePortDevice(n), &g_lastOpen);
}

class SerialPortPosixTest : public ::testing::Test {
  protected:
    void SetUp() override {
        int slave = -1;
        char name[128];
        ASSERT_EQ(openpty(&master_, &slave, name, nullptr, nullptr), 0);
        close(slave);
        registry_.SetValue("Software\\Dravik\\TOVL\\Devices", "COM4", name);
        registry_.SetValue("Software\\Dravik\\TOVL\\Devices", "COM8", "/nonexistent/tovl-com8");
        stop_.Create(CEvent::ResetMode::Manual, false);
        modem_.Create(CEvent::ResetMode::Auto, false);
        char pattern[] = "/tmp/tovl-locks-XXXXXX";
        lockDir_ = mkdtemp(pattern);
        setenv("TOVL_LOCK_DIR", lockDir_.c_str(), 1);
    }
    void TearDown() override {
        if (master_ >= 0) close(master_);
        unsetenv("TOVL_LOCK_DIR");
        std::filesystem::remove_all(lockDir_);
    }

    std::string ReadMaster(size_t n) {
        std::string got;
        while (got.size() < n) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 5000) != 1) break;
            char buf[4096];
            ssize_t r = read(master_, buf, sizeof buf);
            if (r <= 0) break;
            got.append(buf, static_cast<size_t>(r));
        }
        return got;
    }

    TempRegistry registry_;
    std::string lockDir_;
    int master_ = -1;
    CEvent stop_;
    CEvent modem_;
    CStatus loss_;  // what the reader's last wait said of a lost device
};

TEST_F(SerialPortPosixTest, OpensRawExclusiveAndPassesBytesBothWays) {
    auto port = OpenCom(4);
    ASSERT_TRUE(port);
    termios t;
    ASSERT_EQ(tcgetattr(master_, &t), 0);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON), 0u);

    EXPECT_FALSE(OpenCom(4));  // in use
    EXPECT_EQ(g_lastOpen.Error(), kErrorAccessDenied);

    const std::string out("\x00\x0a\x0d\x11\x13\xff", 6);
    uint32_t written = 0;
    ASSERT_TRUE(port->Write(reinterpret_cast<const uint8_t*>(out.data()), 6, &written));
    EXPECT_EQ(written, 6u);
    EXPECT_EQ(ReadMaster(6), out);

    SerialTimeouts to;
    to.ReadIntervalTimeout = 0xFFFFFFFF;
    ASSERT_TRUE(port->SetTimeouts(to));
    ASSERT_EQ(write(master_, "\r\nab", 4), 4);
    uint8_t buf[1024];
    uint32_t count = 0;
    ASSERT_EQ(port->WaitForReader(modem_, stop_, buf, sizeof buf, &count, &loss_),
              ReaderWake::Data);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), count), "\r\nab");

    // A pseudo-terminal has no modem lines.
    uint32_t reg = 0;
    EXPECT_FALSE(port->GetModemStatus(&reg));
    port->StartModemWait(modem_);  // nothing to wait for, nothing started
    // Nor line error counters: it tells nothing, each time it is asked.
    SerialLineErrors errors;
    errors.parity = true;
    EXPECT_FALSE(port->TakeLineErrors(&errors));
    EXPECT_FALSE(errors.parity);
    EXPECT_FALSE(port->TakeLineErrors(&errors));
}

// Reads of 1024 with no time-outs complete only when full: handed over
// together they are whole blocks, and the rest waits in the next read.
TEST_F(SerialPortPosixTest, ReadsHandedOverTogetherAreWholeBlocksInOrder) {
    auto port = OpenCom(4);
    ASSERT_TRUE(port);
    std::string data;
    for (int i = 0; i < 3072; ++i) data.push_back(static_cast<char>(i * 13 + i / 256));
    ASSERT_EQ(write(master_, data.data(), 3000), 3000);
    std::vector<uint8_t> buf(64 * 1024);
    std::string got;
    while (got.size() < 2048) {
        uint32_t count = 0;
        ASSERT_EQ(port->WaitForReader(modem_, stop_, buf.data(), 64 * 1024, &count, &loss_),
                  ReaderWake::Data);
        ASSERT_EQ(count % 1024, 0u);
        got.append(reinterpret_cast<char*>(buf.data()), count);
    }
    ASSERT_EQ(got.size(), 2048u);
    ASSERT_EQ(write(master_, data.data() + 3000, 72), 72);
    uint32_t count = 0;
    ASSERT_EQ(port->WaitForReader(modem_, stop_, buf.data(), 64 * 1024, &count, &loss_),
              ReaderWake::Data);
    ASSERT_EQ(count, 1024u);
    got.append(reinterpret_cast<char*>(buf.data()), count);
    EXPECT_EQ(got, data);
}

TEST_F(SerialPortPosixTest, MissingDeviceAndPortZeroFail) {
    EXPECT_FALSE(OpenCom(8));
    EXPECT_EQ(g_lastOpen.Error(), kErrorFileNotFound);
    EXPECT_FALSE(OpenCom(0));
    EXPECT_FALSE(OpenCom(-3));
}

TEST_F(SerialPortPosixTest, SettingsReachTheTtyAndAZeroRateIsRefused) {
    auto port = OpenCom(4);
    ASSERT_TRUE(port);
    SerialDcb dcb;
    ASSERT_TRUE(port->GetState(&dcb));
    dcb.BaudRate = 57600;
    dcb.StopBits = 2;
    ASSERT_TRUE(port->SetState(dcb));
    SerialHandflow h;
    h.ControlHandShake = SERIAL_CTS_HANDSHAKE;
    h.FlowReplace = SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE;
    ASSERT_TRUE(port->SetHandflow(h));
    termios t;
    ASSERT_EQ(tcgetattr(master_, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_TRUE(t.c_iflag & IXON);
    EXPECT_TRUE(t.c_iflag & IXOFF);

    dcb.BaudRate = 0;
    EXPECT_FALSE(port->SetState(dcb));
    ASSERT_EQ(tcgetattr(master_, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
    SerialDcb now;
    ASSERT_TRUE(port->GetState(&now));
    EXPECT_EQ(now.BaudRate, 57600u);
}

TEST_F(SerialPortPosixTest, InputRateFollowsEveryRateChangeStandardOrCustom) {
    auto port = OpenCom(4);
    ASSERT_TRUE(port);
    SerialDcb dcb;
    ASSERT_TRUE(port->GetState(&dcb));
    for (uint32_t rate : {9600u, 250000u, 57600u, 31250u, 115200u}) {
        dcb.BaudRate = rate;
        ASSERT_TRUE(port->SetState(dcb)) << rate;
        uint32_t input = 0, output = 0;
        ASSERT_TRUE(GetLineSpeeds(master_, &input, &output));
        EXPECT_EQ(output, rate);
        EXPECT_EQ(input, rate);
    }
}

TEST_F(SerialPortPosixTest, StateTellsTheRateTheLineHas) {
    auto port = OpenCom(4);
    ASSERT_TRUE(port);
    SerialDcb dcb;
    ASSERT_TRUE(port->GetState(&dcb));
    dcb.BaudRate = 250000;
    ASSERT_TRUE(port->SetState(dcb));
    // The line's rate changed under the port, as a driver that rounds does.
    termios t;
    ASSERT_EQ(tcgetattr(master_, &t), 0);
    cfsetspeed(&t, B230400);
    ASSERT_EQ(tcsetattr(master_, TCSANOW, &t), 0);
    ASSERT_TRUE(port->GetState(&dcb));
    EXPECT_EQ(dcb.BaudRate, 230400u);
}

TEST_F(SerialPortPosixTest, CloseWakesTheReaderAndFreesThePortAtOnce) {
    auto port = OpenCom(4);
    ASSERT_TRUE(port);
    std::atomic<int> wake{-1};
    std::thread reader([&] {
        uint8_t buf[1024];
        uint32_t count = 0;
        wake =
            static_cast<int>(port->WaitForReader(modem_, stop_, buf, sizeof buf, &count, &loss_));
    });
    usleep(100 * 1000);
    stop_.Set();
    port->Close();
    // The device and its lock are released when Close returns.
    auto again = OpenCom(4);
    EXPECT_TRUE(again);
    reader.join();
    EXPECT_EQ(wake, static_cast<int>(ReaderWake::Stop));
    uint32_t written = 0;
    EXPECT_FALSE(port->Write(reinterpret_cast<const uint8_t*>("x"), 1, &written));
}

// A device that hangs up is told to the reader as lost, with bytes it sent
// before handed over first, and again at every later wait; writes fail.
TEST_F(SerialPortPosixTest, HangUpIsToldAsLostAfterTheBytesBeforeIt) {
    auto port = OpenCom(4);
    ASSERT_TRUE(port);
    SerialTimeouts to;  // all zero: wait for the full count
    ASSERT_TRUE(port->SetTimeouts(to));
    ASSERT_EQ(write(master_, "last", 4), 4);
    // The device hangs up while the read waits for the rest of its count
    // (a hang-up flushes what the tty had not yet handed over).
    std::thread hangUp([this] {
        usleep(300 * 1000);
        close(master_);
        master_ = -1;
    });
    uint8_t buf[1024];
    uint32_t count = 0;
    std::string got;
    ReaderWake wake;
    while ((wake = port->WaitForReader(modem_, stop_, buf, sizeof buf, &count, &loss_)) ==
           ReaderWake::Data)
        got.append(reinterpret_cast<char*>(buf), count);
    hangUp.join();
    EXPECT_EQ(wake, ReaderWake::Lost);
    EXPECT_EQ(got, "last");
    EXPECT_NE(loss_.Error(), 0u);
    EXPECT_EQ(port->WaitForReader(modem_, stop_, buf, sizeof buf, &count, &loss_),
              ReaderWake::Lost);
    uint32_t written = 0;
    EXPECT_FALSE(port->Write(reinterpret_cast<const uint8_t*>("x"), 1, &written));
}

TEST_F(SerialPortPosixTest, AWriteTimeoutTooLongForTheClockMeansNoLimit) {
    auto port = OpenCom(4);
    ASSERT_TRUE(port);
    SerialTimeouts to;
    to.WriteTotalTimeoutMultiplier = 0xFFFFFFFF;
    ASSERT_TRUE(port->SetTimeouts(to));
    // A megabyte in 4096-byte writes to a port the other end drains slower
    // than it is written: every write waits until the port has taken it all.
    constexpr size_t kTotal = 1 << 20;
    std::string sent(kTotal, '\0');
    for (size_t i = 0; i < kTotal; ++i) sent[i] = static_cast<char>(i * 7 + i / 4096);
    std::atomic<uint64_t> taken{0};
    std::thread writer([&] {
        for (size_t at = 0; at < kTotal; at += 4096) {
            uint32_t written = 0;
            if (!port->Write(reinterpret_cast<const uint8_t*>(sent.data() + at), 4096, &written))
                break;
            taken += written;
        }
    });
    usleep(200 * 1000);  // the port's buffer fills up meanwhile
    const std::string got = ReadMaster(kTotal);
    writer.join();
    EXPECT_EQ(taken, kTotal);
    EXPECT_TRUE(got == sent) << got.size() << " bytes arrived";
}

}  // namespace
