// The client's pseudo-terminal ports and their set: links, open and close
// seen from the first open on, bulk data both ways, settings changes,
// back-pressure and every reason that ends a write waiting for room, and
// nothing of one application reaching the next.
#include "client/posix/pty_port_provider_posix.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "client/posix/pty_port_posix.h"
#include "platform/event.h"
#include "test_support/cpu_time.h"

using namespace tovl;

namespace {

class PtyProviderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tovl-pty-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        provider_.Stop();
        std::string command = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(system(command.c_str()), 0);
    }
    std::string Link(int n) { return dir_ + "/ttyV" + std::to_string(n); }

    // An application's open of the port, in raw mode.
    int OpenApp(int n) {
        int fd = open(Link(n).c_str(), O_RDWR | O_NOCTTY);
        if (fd >= 0) {
            termios t;
            tcgetattr(fd, &t);
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        }
        return fd;
    }

    std::string ReadApp(int fd, size_t count, int ms = 3000) {
        std::string got;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) == 1) {
                char buffer[65536];
                ssize_t n = read(fd, buffer, std::min(sizeof buffer, count - got.size()));
                if (n > 0) got.append(buffer, static_cast<size_t>(n));
            }
        }
        return got;
    }

    // Port n of the set (it has been made).
    CPtyPort& Port(int n) { return *provider_.Port(static_cast<uint32_t>(n)); }
    // Reads from port n until it gives nothing.
    std::string ReadAll(int n) {
        uint8_t buffer[PL_DATA_MAX];
        std::string got;
        while (const uint32_t count = Port(n).Read(buffer, sizeof buffer))
            got.append(reinterpret_cast<char*>(buffer), count);
        return got;
    }
    // Writes text to port n for the application; the count written.
    uint32_t WriteTo(int n, const std::string& text) {
        return Port(n).Write(reinterpret_cast<const uint8_t*>(text.data()),
                             static_cast<uint32_t>(text.size()));
    }

    // The pump's wait on port n (stop never set), as the index of what woke
    // it: data 0, settings 1, or kWaitTimeout.
    int Wait(int n, uint32_t ms) {
        CEvent stop;
        stop.Create(CEvent::ResetMode::Auto, false);
        switch (Port(n).Watch(stop)->Next(ms)) {
            case PortActivity::Data:
                return 0;
            case PortActivity::Settings:
                return 1;
            case PortActivity::Timeout:
                return kWaitTimeout;
            default:
                return kWaitFailed;
        }
    }

    std::string dir_;
    CPtyPortProvider provider_;
};

}  // namespace

TEST_F(PtyProviderTest, LinksAreMadeReplacedOrLeftAlone) {
    ASSERT_EQ(symlink("/nonexistent", Link(2).c_str()), 0);
    int file = open(Link(4).c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(file, 0);
    close(file);
    EXPECT_TRUE(provider_.AddPort(1, Link(1)));
    EXPECT_TRUE(provider_.AddPort(2, Link(2)));
    EXPECT_FALSE(provider_.AddPort(4, Link(4)));
    EXPECT_FALSE(provider_.AddPort(0, Link(5)));
    ASSERT_TRUE(provider_.Start());
    struct stat st;
    ASSERT_EQ(lstat(Link(2).c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    char target[256] = {};
    ASSERT_GT(readlink(Link(2).c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target).rfind("/dev/pts/", 0), 0u);
    ASSERT_EQ(lstat(Link(4).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_NE(provider_.Port(1), nullptr);
    EXPECT_NE(provider_.Port(2), nullptr);
    EXPECT_EQ(provider_.Port(4), nullptr);
    EXPECT_EQ(provider_.Port(0), nullptr);
    EXPECT_EQ(Port(2).Number(), 2u);
    provider_.Stop();
    EXPECT_NE(lstat(Link(1).c_str(), &st), 0);
    EXPECT_NE(lstat(Link(2).c_str(), &st), 0);
    EXPECT_EQ(lstat(Link(4).c_str(), &st), 0);
}

TEST_F(PtyProviderTest, OpenAndCloseAreSeenFromTheFirstOpen) {
    ASSERT_TRUE(provider_.AddPort(3, Link(3)));
    ASSERT_TRUE(provider_.Start());
    CEvent& opened = Port(3).Opened();
    EXPECT_FALSE(Port(3).IsOpen());
    EXPECT_EQ(opened.Wait(0), kWaitTimeout);
    for (int round = 0; round < 2; ++round) {
        int fd = OpenApp(3);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(opened.Wait(2000), 0);
        EXPECT_TRUE(Port(3).IsOpen());
        close(fd);
        EXPECT_EQ(opened.Wait(2000), 0);
        EXPECT_FALSE(Port(3).IsOpen());
    }
    // Idle with nobody on the port: the monitor sleeps.
    const double before = testing_support::ProcessCpuMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_LT(testing_support::ProcessCpuMs() - before, 50.0);
}

TEST_F(PtyProviderTest, ApplicationDataIsSignalledAndReadInBlocks) {
    ASSERT_TRUE(provider_.AddPort(3, Link(3)));
    ASSERT_TRUE(provider_.Start());
    CPtyPort& port = Port(3);
    int fd = OpenApp(3);
    ASSERT_GE(fd, 0);
    uint32_t pending = 0;
    PortLinkSettings initial;
    port.Settings(&initial);
    std::string text(3000, 'x');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>(i * 13);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    // The wait takes the first block off the master itself.
    EXPECT_EQ(Wait(3, 2000), 0);
    // The terminal may still be passing the rest on to the master.
    ASSERT_TRUE(port.Pending(&pending));
    EXPECT_GT(pending, 0u);
    EXPECT_LE(pending, 3000u);
    uint8_t buffer[1024];
    uint32_t count = port.Read(buffer, sizeof buffer);
    EXPECT_EQ(count, std::min<uint32_t>(pending, 1024u));  // one call takes a whole block
    std::string got(reinterpret_cast<char*>(buffer), count);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got.size() < text.size() && std::chrono::steady_clock::now() < deadline) {
        count = port.Read(buffer, sizeof buffer);
        if (count > 0)
            got.append(reinterpret_cast<char*>(buffer), count);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(got, text);
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u);
    ASSERT_TRUE(port.Pending(&pending));
    EXPECT_EQ(pending, 0u);
    // Drained: nothing to serve until the next write.
    EXPECT_EQ(Wait(3, 0), kWaitTimeout);
    ASSERT_EQ(write(fd, "z", 1), 1);
    EXPECT_EQ(Wait(3, 2000), 0);
    close(fd);
}

TEST_F(PtyProviderTest, SettingsChangesAreSignalledAndReported) {
    ASSERT_TRUE(provider_.AddPort(3, Link(3)));
    ASSERT_TRUE(provider_.Start());
    CPtyPort& port = Port(3);
    int fd = OpenApp(3);
    ASSERT_GE(fd, 0);
    PortLinkSettings initial;
    port.Settings(&initial);
    EXPECT_EQ(Wait(3, 0), kWaitTimeout);
    termios t;
    tcgetattr(fd, &t);
    cfsetspeed(&t, B19200);
    t.c_cflag |= CSTOPB | CRTSCTS;
    t.c_iflag |= IXON;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    ASSERT_EQ(write(fd, "after", 5), 5);
    // Reported by the pty itself the moment it is made (a wait that does not
    // wait at all sees it), and ahead of the bytes written after it.
    EXPECT_EQ(Wait(3, 0), 1);
    uint32_t pending = 9;
    ASSERT_TRUE(port.Pending(&pending));
    EXPECT_EQ(pending, 0u);
    uint8_t buffer[16];
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u);
    PortLinkSettings s{};
    port.Settings(&s);
    EXPECT_EQ(s.BaudRate, 19200u);
    EXPECT_EQ(s.StopBits, 2);
    EXPECT_EQ(s.ControlHandShake, 0x09);
    EXPECT_EQ(s.FlowReplace, 0x81u);
    EXPECT_EQ(Wait(3, 0), 0);
    const uint32_t count = port.Read(buffer, sizeof buffer);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), count), "after");
    // The same settings again: no report.
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    EXPECT_EQ(Wait(3, 0), kWaitTimeout);
    // Canonical mode keeps its line editing: the port goes without EXTPROC.
    t.c_lflag |= ICANON;
    t.c_cc[VERASE] = 0x7f;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    EXPECT_EQ(Wait(3, 0), kWaitTimeout);
    tcgetattr(fd, &t);
    EXPECT_EQ(t.c_lflag & EXTPROC, 0u);
    ASSERT_EQ(port.Opened().Wait(2000), 0);
    ASSERT_EQ(WriteTo(3,
                      "ab\x7f"
                      "c\n"),
              5u);
    EXPECT_EQ(ReadApp(fd, 3), "ac\n");
    close(fd);
}

TEST_F(PtyProviderTest, ServerDataWaitsForTheApplicationInsteadOfBeingLost) {
    ASSERT_TRUE(provider_.AddPort(3, Link(3)));
    ASSERT_TRUE(provider_.Start());
    int fd = OpenApp(3);
    ASSERT_GE(fd, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string payload(300000, '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>((i * 31) >> 3);
    uint32_t written = 0;
    std::thread writer([&] { written = WriteTo(3, payload); });
    // The application reads late and slowly; nothing is dropped.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string got = ReadApp(fd, payload.size(), 20000);
    writer.join();
    EXPECT_EQ(written, payload.size());
    EXPECT_TRUE(got == payload);
    close(fd);
}

TEST_F(PtyProviderTest, DataForAClosedApplicationNeverReachesTheNextOne) {
    ASSERT_TRUE(provider_.AddPort(3, Link(3)));
    ASSERT_TRUE(provider_.Start());
    CEvent& opened = Port(3).Opened();
    int fd = OpenApp(3);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(opened.Wait(2000), 0);
    // More than the pty holds, so the writer waits while the application
    // does not read; the close ends the wait and drops the rest.
    std::string payload(200000, 'q');
    uint32_t written = 0;
    std::thread writer([&] { written = WriteTo(3, payload); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    close(fd);
    writer.join();
    EXPECT_LT(written, payload.size());
    ASSERT_EQ(opened.Wait(2000), 0);
    // Written while nobody has the port open: dropped.
    EXPECT_EQ(WriteTo(3, "late"), 0u);
    fd = OpenApp(3);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(opened.Wait(2000), 0);
    ASSERT_EQ(WriteTo(3, "new"), 3u);
    EXPECT_EQ(ReadApp(fd, 3), "new");
    EXPECT_EQ(ReadApp(fd, 1, 300), "");
    close(fd);
}

TEST_F(PtyProviderTest, SettingsOfTheNextUseNeverReachTheSessionOfTheLastOne) {
    // No monitor runs: the opens and closes stay queued, as when the monitor
    // is late, and the pump's wait must take them before the master.
    ASSERT_TRUE(provider_.AddPort(3, Link(3)));
    CPtyPort& port = Port(3);
    int fd = OpenApp(3);
    ASSERT_GE(fd, 0);
    port.ServeUse(port.UseCount());
    PortLinkSettings s{};
    port.Settings(&s);
    close(fd);
    fd = OpenApp(3);
    ASSERT_GE(fd, 0);
    termios t;
    tcgetattr(fd, &t);
    cfsetspeed(&t, B57600);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    // The first use's session has nothing more to serve.
    EXPECT_EQ(Wait(3, 300), kWaitTimeout);
    EXPECT_EQ(port.UseCount(), 2u);
    // The next session starts with the new use's settings.
    port.ServeUse(port.UseCount());
    port.Settings(&s);
    EXPECT_EQ(s.BaudRate, 57600u);
    close(fd);
}

TEST_F(PtyProviderTest, BytesOfTheNextUseNeverReachTheSessionOfTheLastOne) {
    // No monitor runs: the reads take the queued opens and closes.
    ASSERT_TRUE(provider_.AddPort(3, Link(3)));
    CPtyPort& port = Port(3);
    int fd = OpenApp(3);
    ASSERT_GE(fd, 0);
    port.ServeUse(port.UseCount());
    ASSERT_EQ(write(fd, "AAAA", 4), 4);
    ASSERT_EQ(Wait(3, 2000), 0);
    ASSERT_EQ(write(fd, "BB", 2), 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    close(fd);
    uint8_t buffer[PL_DATA_MAX];
    // The close is taken here, while part of the use's bytes are read ahead.
    const uint32_t count = port.Read(buffer, 2);
    ASSERT_GT(count, 0u);
    std::string old(reinterpret_cast<char*>(buffer), count);
    fd = OpenApp(3);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "NEW", 3), 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    old += ReadAll(3);
    EXPECT_EQ(old, "AAAABB");
    // The next session gets the next use's bytes.
    port.ServeUse(port.UseCount());
    EXPECT_EQ(ReadAll(3), "NEW");
    close(fd);
}

TEST_F(PtyProviderTest, LinesAreKeptForTheApplication) {
    ASSERT_TRUE(provider_.AddPort(3, Link(3)));
    ASSERT_TRUE(provider_.Start());
    Port(3).SetLines(PL_LINE_CTS | PL_LINE_DSR | PL_LINE_DCD | PL_LINE_DTR);
    uint32_t got = 0;
    Port(3).Lines(&got);
    // The inputs as the server gave them; the outputs raised as on any open port.
    EXPECT_EQ(got, PL_LINE_CTS | PL_LINE_DSR | PL_LINE_DCD | PL_LINE_DTR | PL_LINE_RTS);
    EXPECT_EQ(provider_.Port(8), nullptr);
}

TEST_F(PtyProviderTest, AnInputFlushEndsAWriteWaitingForRoom) {
    ASSERT_TRUE(provider_.AddPort(3, Link(3)));
    ASSERT_TRUE(provider_.Start());
    CPtyPort& port = Port(3);
    int fd = OpenApp(3);
    ASSERT_GE(fd, 0);
    port.ServeUse(port.UseCount());
    const std::string big(1 << 20, 'o');
    uint32_t count = 0;
    std::thread writer([&] { count = WriteTo(3, big); });
    // The pty fills; the application drops its input instead of reading it.
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    ASSERT_EQ(tcflush(fd, TCIFLUSH), 0);
    writer.join();
    EXPECT_LT(count, big.size());
    EXPECT_TRUE(port.TakeInputFlush());
    EXPECT_FALSE(port.TakeInputFlush());
    EXPECT_EQ(ReadApp(fd, 1, 300), "");
    // Later data reaches the application.
    ASSERT_EQ(WriteTo(3, "new"), 3u);
    EXPECT_EQ(ReadApp(fd, 3), "new");
    close(fd);
}

TEST_F(PtyProviderTest, AHangUpEndsAWriteWaitingForRoom) {
    ASSERT_TRUE(provider_.AddPort(3, Link(3)));
    ASSERT_TRUE(provider_.Start());
    CPtyPort& port = Port(3);
    int fd = OpenApp(3);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(port.Opened().Wait(2000), 0);
    const std::string slave = provider_.Links()[0].second;
    const std::string big(1 << 20, 'h');
    uint32_t count = 0;
    std::thread writer([&] { count = WriteTo(3, big); });
    // The application does not read: the writer waits for room.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    port.HangUp();
    writer.join();
    EXPECT_LT(count, big.size());
    // The application was hung up; the link now leads to a new pty.
    EXPECT_NE(provider_.Links()[0].second, slave);
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 0), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    close(fd);
}

TEST_F(PtyProviderTest, TheSetsStopEndsAWriteWaitingForRoom) {
    ASSERT_TRUE(provider_.AddPort(3, Link(3)));
    ASSERT_TRUE(provider_.Start());
    const std::shared_ptr<CPtyPort> port = provider_.Port(3);
    int fd = OpenApp(3);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(port->Opened().Wait(2000), 0);
    const std::string big(1 << 20, 's');
    uint32_t count = 0;
    std::thread writer([&] {
        count = port->Write(reinterpret_cast<const uint8_t*>(big.data()),
                            static_cast<uint32_t>(big.size()));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    provider_.Stop();
    writer.join();
    EXPECT_LT(count, big.size());
    close(fd);
}

TEST_F(PtyProviderTest, AnOutputFlushDropsWhatWasNotSent) {
    ASSERT_TRUE(provider_.AddPort(3, Link(3)));
    CPtyPort& port = Port(3);
    int fd = OpenApp(3);
    ASSERT_GE(fd, 0);
    port.ServeUse(port.UseCount());
    const std::string first(3000, 'a');
    ASSERT_EQ(write(fd, first.data(), first.size()), static_cast<ssize_t>(first.size()));
    ASSERT_EQ(Wait(3, 2000), 0);
    uint8_t buffer[PL_DATA_MAX];
    EXPECT_EQ(port.Read(buffer, 1000), 1000u);  // the rest is staged
    // Still in the stage (2000) and in the pty (2000): all of it is dropped.
    const std::string second(2000, 'b');
    ASSERT_EQ(write(fd, second.data(), second.size()), static_cast<ssize_t>(second.size()));
    ASSERT_EQ(tcflush(fd, TCOFLUSH), 0);
    EXPECT_EQ(port.Read(buffer, sizeof buffer), 0u);
    ASSERT_EQ(write(fd, "MARK", 4), 4);
    std::string after;
    uint32_t count = 0;
    while (Wait(3, 2000) == 0 && (count = port.Read(buffer, sizeof buffer)) > 0) {
        after.append(reinterpret_cast<char*>(buffer), count);
        if (after.size() >= 4) break;
    }
    EXPECT_EQ(after, "MARK");
    close(fd);
}

TEST_F(PtyProviderTest, TheSessionsStopEndsTheWatchOnce) {
    ASSERT_TRUE(provider_.AddPort(3, Link(3)));
    ASSERT_TRUE(provider_.Start());
    CEvent stop;
    ASSERT_TRUE(stop.Create(CEvent::ResetMode::Auto, false));
    const std::unique_ptr<CPortWatch> watch = Port(3).Watch(stop);
    std::thread stopper([&] { stop.Set(); });
    EXPECT_EQ(watch->Next(5000), PortActivity::Stop);
    stopper.join();
    // The wait took it.
    EXPECT_EQ(watch->Next(50), PortActivity::Timeout);
}
