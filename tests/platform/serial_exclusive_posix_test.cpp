// Who may have a device: the port opens only terminal devices given by an
// absolute path, never one another process holds or has locked, and it
// takes over the lock file of a process that has ended or whose pid has been
// reused. Whatever is planted under a lock file's name refuses that device
// alone, and a refused device's holder is named.
#include "platform/posix/serial_exclusive_posix.h"

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

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <string>

#include "platform/last_error.h"
#include "platform/posix/serial_holder_posix.h"
#include "platform/serial_port.h"

using namespace tovl;

extern char** environ;

namespace {

// The outcome of this thread's last OpenDevice.
thread_local CStatus t_lastOpen;

std::shared_ptr<CSerialPort> OpenDevice(const std::string& path) {
    return OpenSerialPort(path, &t_lastOpen);
}

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
    // terminal program would have it; or, without the device, only alive.
    void StartHolder(bool withDevice = true) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (withDevice)
            posix_spawn_file_actions_addopen(&actions, 0, device_.c_str(), O_RDWR | O_NOCTTY, 0);
        char sleepName[] = "sleep";
        char seconds[] = "60";
        char* argv[] = {sleepName, seconds, nullptr};
        ASSERT_EQ(posix_spawnp(&holder_, "sleep", &actions, nullptr, argv, environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        // Until the child runs sleep (with the device open).
        const std::string fd0 = "/proc/" + std::to_string(holder_) + "/fd/0";
        for (int i = 0; i < 500; ++i) {
            char target[256] = {};
            if (ReadFile("/proc/" + std::to_string(holder_) + "/comm") == "sleep\n" &&
                (!withDevice ||
                 (readlink(fd0.c_str(), target, sizeof target - 1) > 0 && device_ == target)))
                return;
            usleep(10 * 1000);
        }
        FAIL() << "the holder did not start";
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

TEST_F(SerialExclusivePosixTest, ADeviceAnotherProcessHoldsIsRefusedNamesItAndKeepsItsSettings) {
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

    EXPECT_FALSE(OpenDevice(device_));
    EXPECT_EQ(t_lastOpen.Error(), kErrorAccessDenied);
    EXPECT_EQ(DescribeSerialHolder(device_), "held by pid " + std::to_string(holder_) + " (sleep)");
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
    EXPECT_TRUE(OpenDevice(device_));
}

TEST_F(SerialExclusivePosixTest, LockFilesOfLiveProcessesHoldAndOfEndedOnesAreTakenOver) {
    WriteLockFile(1);  // init never ends
    EXPECT_FALSE(OpenDevice(device_));
    EXPECT_EQ(t_lastOpen.Error(), kErrorAccessDenied);
    EXPECT_EQ(ReadFile(lockFile_), "         1\n");

    WriteLockFile(DeadPid());
    auto port = OpenDevice(device_);
    ASSERT_TRUE(port);
    char mine[16];
    snprintf(mine, sizeof mine, "%10d\n", static_cast<int>(getpid()));
    EXPECT_EQ(ReadFile(lockFile_), mine);
    // Ours while the port is open, also for a second port of this process.
    EXPECT_FALSE(OpenDevice(device_));
    port->Close();
    EXPECT_FALSE(std::filesystem::exists(lockFile_));
    EXPECT_TRUE(OpenDevice(device_));
}

TEST_F(SerialExclusivePosixTest, OnlyTerminalDevicesByAbsolutePathAreOpened) {
    const std::string file = lockDir_ + "/regular";
    std::ofstream(file) << "data";
    const std::string fifo = lockDir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {file, fifo, std::string("/dev/null")}) {
        EXPECT_FALSE(OpenDevice(path)) << path;
        EXPECT_EQ(t_lastOpen.Error(), kErrorFileNotFound) << path;
    }
    EXPECT_EQ(ReadFile(file), "data");
    // The same terminal by a relative name.
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path("/");
    EXPECT_FALSE(OpenDevice(device_.substr(1)));
    std::filesystem::current_path(cwd);
    EXPECT_TRUE(OpenDevice(device_));
}

TEST_F(SerialExclusivePosixTest, ALockWhosePidNowNamesALaterProcessIsTakenOver) {
    StartHolder(false);
    WriteLockFile(holder_);  // written after the holder started: its lock
    EXPECT_FALSE(OpenDevice(device_));
    EXPECT_EQ(DescribeSerialHolder(device_),
              "locked by pid " + std::to_string(holder_) + " (sleep) in " + lockFile_);

    // Written an hour before the process with that pid started.
    const auto written = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
    std::filesystem::last_write_time(lockFile_, written);
    auto port = OpenDevice(device_);
    ASSERT_TRUE(port);
    char mine[16];
    snprintf(mine, sizeof mine, "%10d\n", static_cast<int>(getpid()));
    EXPECT_EQ(ReadFile(lockFile_), mine);
}

TEST_F(SerialExclusivePosixTest, AnythingButARegularLockFileRefusesOnlyItsDeviceWithoutBlocking) {
    int otherMaster = -1;
    int otherSlave = -1;
    char otherName[128];
    ASSERT_EQ(openpty(&otherMaster, &otherSlave, otherName, nullptr, nullptr), 0);
    close(otherSlave);
    const std::string target = lockDir_ + "/target";
    WriteLockFile(DeadPid());
    std::filesystem::rename(lockFile_, target);
    const std::string kinds[] = {"FIFO", "directory", "symbolic link"};
    for (const std::string& kind : kinds) {
        SCOPED_TRACE(kind);
        int planted = -1;
        if (kind == "FIFO") planted = mkfifo(lockFile_.c_str(), 0666);
        if (kind == "directory") planted = mkdir(lockFile_.c_str(), 0777);
        if (kind == "symbolic link") planted = symlink(target.c_str(), lockFile_.c_str());
        ASSERT_EQ(planted, 0);
        auto refused = std::async(std::launch::async, [this] { return OpenDevice(device_); });
        if (refused.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
            ADD_FAILURE() << "the open waits on the lock file";
            // A writer lets a blocked reader of the FIFO go.
            close(open(lockFile_.c_str(), O_WRONLY | O_NONBLOCK));
        }
        EXPECT_FALSE(refused.get());
        EXPECT_EQ(DescribeSerialHolder(device_).rfind("lock file " + lockFile_ + " is ", 0), 0u)
            << DescribeSerialHolder(device_);
        auto other = OpenDevice(otherName);
        EXPECT_TRUE(other);
        if (other) other->Close();
        // Left as it was planted.
        struct stat st;
        ASSERT_EQ(lstat(lockFile_.c_str(), &st), 0);
        EXPECT_EQ(kind == "FIFO", S_ISFIFO(st.st_mode));
        EXPECT_EQ(kind == "directory", S_ISDIR(st.st_mode));
        EXPECT_EQ(kind == "symbolic link", S_ISLNK(st.st_mode));
        std::filesystem::remove(lockFile_);
    }
    close(otherMaster);
    EXPECT_TRUE(OpenDevice(device_));
}

// A container's own devpts counts its pseudo-terminals from 0 as well: its
// holder of a pty with our number holds another device.
TEST_F(SerialExclusivePosixTest, APtyOfTheSameNumberInAnotherDevptsIsAnotherDevice) {
    if (geteuid() != 0) GTEST_SKIP() << "a devpts instance of its own needs root";
    const std::string number = device_.substr(device_.rfind('/') + 1);
    const std::string ready = lockDir_ + "/ready";
    // In a mount namespace of its own: a new devpts on /dev/pts, ptys made
    // until one has our number, its slave held.
    const std::string script =
        "mount -t devpts -o newinstance,ptmxmode=0666 devpts /dev/pts || exit 1\n"
        "exec python3 -c '\n"
        "import os, sys, time\n"
        "held = []\n"
        "while True:\n"
        "    held.append(os.openpty())\n"
        "    if os.ttyname(held[-1][1]) == \"/dev/pts/\" + sys.argv[1]: break\n"
        "open(sys.argv[2], \"w\").close()\n"
        "time.sleep(60)\n"
        "' \"$0\" \"$1\"\n";
    char unshareName[] = "unshare";
    char mountOption[] = "-m";
    char propagation[] = "--propagation=private";
    char sh[] = "sh";
    char dashC[] = "-c";
    std::string scriptArg = script;
    std::string numberArg = number;
    std::string readyArg = ready;
    char* argv[] = {unshareName,      mountOption,      propagation,     sh,     dashC,
                    scriptArg.data(), numberArg.data(), readyArg.data(), nullptr};
    ASSERT_EQ(posix_spawnp(&holder_, "unshare", nullptr, nullptr, argv, environ), 0);
    for (int i = 0; i < 1000 && !std::filesystem::exists(ready); ++i) {
        if (waitpid(holder_, nullptr, WNOHANG) == holder_) {
            holder_ = -1;
            GTEST_SKIP() << "no devpts instance of its own can be mounted here";
        }
        usleep(10 * 1000);
    }
    ASSERT_TRUE(std::filesystem::exists(ready));

    EXPECT_EQ(DescribeSerialHolder(device_), "");
    EXPECT_TRUE(OpenDevice(device_));
}

// Where other processes' descriptors cannot be read, the scan says so, and
// the process warns once.
TEST_F(SerialExclusivePosixTest, AScanThatCannotSeeEveryProcessSaysSoAndWarnsOnce) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    // Root sees every process's descriptors, unless this machine hides even
    // init's from it (a container's root, say): this process has then
    // warned already, and its children inherit that.
    char target[256];
    const bool rootSeesAll =
        readlink("/proc/1/fd/0", target, sizeof target) >= 0 || errno != EACCES;
    SerialDeviceId device;
    ASSERT_TRUE(IdentifySerialDevice(device_, &device));
    const std::string log = lockDir_ + "/log";
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int logFd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        dup2(logFd, 2);
        // nobody: init's descriptors are then out of sight.
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        const bool firstComplete = ScanForDeviceHolder(device).complete;
        const bool secondComplete = ScanForDeviceHolder(device).complete;
        _exit(!firstComplete && !secondComplete ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    const std::string text = ReadFile(log);
    const std::string warning = "the open files of other processes cannot be seen";
    EXPECT_EQ(text.find(warning), text.rfind(warning)) << text;
    if (rootSeesAll) {
        EXPECT_NE(text.find(warning), std::string::npos) << text;
        EXPECT_TRUE(ScanForDeviceHolder(device).complete);
    }
}

}  // namespace
