// Who may have a device: the port opens only terminal devices given by an
// absolute path, never one another process holds or has locked, and it
// takes over the lock file of a process that has ended.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/last_error.h"
#include "platform/serial_port.h"

using namespace tovl;

extern char** environ;

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class SerialExclusivePosixTest : public ::testing::Test {
  protected:
    void SetUp() override {
        int slave = -1;
        char name[128];
        ASSERT_EQ(openpty(&master_, &slave, name, nullptr, nullptr), 0);
        close(slave);
        device_ = name;
        char pattern[] = "/tmp/tovl-locks-XXXXXX";
        lockDir_ = mkdtemp(pattern);
        setenv("TOVL_LOCK_DIR", lockDir_.c_str(), 1);
        lockFile_ = lockDir_ + "/LCK.." + device_.substr(device_.rfind('/') + 1);
    }
    void TearDown() override {
        if (holder_ > 0) {
            kill(holder_, SIGKILL);
            waitpid(holder_, nullptr, 0);
        }
        close(master_);
        unsetenv("TOVL_LOCK_DIR");
        std::filesystem::remove_all(lockDir_);
    }

    // Another process with the device open as its standard input, as a
    // terminal program would have it.
    void StartHolder() {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, device_.c_str(), O_RDWR | O_NOCTTY, 0);
        char sleepName[] = "sleep";
        char seconds[] = "60";
        char* argv[] = {sleepName, seconds, nullptr};
        ASSERT_EQ(posix_spawnp(&holder_, "sleep", &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        // Until the child has the device open.
        const std::string fd0 = "/proc/" + std::to_string(holder_) + "/fd/0";
        for (int i = 0; i < 500; ++i) {
            char target[256] = {};
            if (readlink(fd0.c_str(), target, sizeof target - 1) > 0 && device_ == target) return;
            usleep(10 * 1000);
        }
        FAIL() << "the holder did not open " << device_;
    }

    // The pid of a process that has ended.
    pid_t DeadPid() {
        pid_t pid = -1;
        char trueName[] = "true";
        char* argv[] = {trueName, nullptr};
        EXPECT_EQ(posix_spawnp(&pid, "true", nullptr, nullptr, argv, environ), 0);
        waitpid(pid, nullptr, 0);
        return pid;
    }

    void WriteLockFile(pid_t pid) {
        FILE* f = fopen(lockFile_.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fprintf(f, "%10d\n", static_cast<int>(pid));
        fclose(f);
    }

    int master_ = -1;
    pid_t holder_ = -1;
    std::string device_;
    std::string lockDir_;
    std::string lockFile_;
};

TEST_F(SerialExclusivePosixTest, ADeviceAnotherProcessHoldsIsRefusedAndKeepsItsSettings) {
    termios before;
    ASSERT_EQ(tcgetattr(master_, &before), 0);
    before.c_lflag |= ECHO | ICANON | ISIG;
    before.c_iflag |= ICRNL | IXON;
    before.c_oflag |= OPOST;
    cfsetspeed(&before, B1200);
    ASSERT_EQ(tcsetattr(master_, TCSANOW, &before), 0);
    ASSERT_EQ(tcgetattr(master_, &before), 0);
    ASSERT_EQ(write(master_, "queued\n", 7), 7);  // input the holder has not read yet
    StartHolder();

    EXPECT_FALSE(OpenSerialPort(device_));
    EXPECT_EQ(GetLastErrorCode(), kErrorAccessDenied);
    termios after;
    ASSERT_EQ(tcgetattr(master_, &after), 0);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_FALSE(std::filesystem::exists(lockFile_));
    // Nothing flushed: the holder's input is still there.
    const int look = open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(look, 0);
    int queued = 0;
    EXPECT_EQ(ioctl(look, FIONREAD, &queued), 0);
    close(look);
    EXPECT_EQ(queued, 7);

    kill(holder_, SIGKILL);
    waitpid(holder_, nullptr, 0);
    holder_ = -1;
    EXPECT_TRUE(OpenSerialPort(device_));
}

TEST_F(SerialExclusivePosixTest, LockFilesOfLiveProcessesHoldAndOfEndedOnesAreTakenOver) {
    WriteLockFile(1);  // init never ends
    EXPECT_FALSE(OpenSerialPort(device_));
    EXPECT_EQ(GetLastErrorCode(), kErrorAccessDenied);
    EXPECT_EQ(ReadFile(lockFile_), "         1\n");

    WriteLockFile(DeadPid());
    auto port = OpenSerialPort(device_);
    ASSERT_TRUE(port);
    char mine[16];
    snprintf(mine, sizeof mine, "%10d\n", static_cast<int>(getpid()));
    EXPECT_EQ(ReadFile(lockFile_), mine);
    // Ours while the port is open, also for a second port of this process.
    EXPECT_FALSE(OpenSerialPort(device_));
    port->Close();
    EXPECT_FALSE(std::filesystem::exists(lockFile_));
    EXPECT_TRUE(OpenSerialPort(device_));
}

TEST_F(SerialExclusivePosixTest, OnlyTerminalDevicesByAbsolutePathAreOpened) {
    const std::string file = lockDir_ + "/regular";
    std::ofstream(file) << "data";
    const std::string fifo = lockDir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {file, fifo, std::string("/dev/null")}) {
        EXPECT_FALSE(OpenSerialPort(path)) << path;
        EXPECT_EQ(GetLastErrorCode(), kErrorFileNotFound) << path;
    }
    EXPECT_EQ(ReadFile(file), "data");
    // The same terminal by a relative name.
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path("/");
    EXPECT_FALSE(OpenSerialPort(device_.substr(1)));
    std::filesystem::current_path(cwd);
    EXPECT_TRUE(OpenSerialPort(device_));
}

}  // namespace
