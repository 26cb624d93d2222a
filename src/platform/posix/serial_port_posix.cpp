// A serial device on POSIX, by its path: checked to be a terminal device no
// other process uses, opened non-blocking, locked with its UUCP lock file,
// flock and TIOCEXCL, and only then put in raw mode.
//
// The descriptor number stays reserved until the object is destroyed: Close
// moves /dev/null onto it (dup2 replaces the open file under the number in
// one step), which releases the device and its flock at once while the
// reader, which may be about to poll or read that number on its own thread,
// can never meet a descriptor the process has reused for something else.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "platform/last_error.h"
#include "platform/posix/errno_posix.h"
#include "platform/posix/event_posix.h"
#include "platform/posix/serial_baud_posix.h"
#include "platform/posix/serial_deadline_posix.h"
#include "platform/posix/serial_exclusive_posix.h"
#include "platform/posix/serial_holder_posix.h"
#include "platform/posix/serial_read_posix.h"
#include "platform/posix/serial_termios_posix.h"
#include "platform/posix/unique_fd_posix.h"
#include "platform/serial_handflow.h"
#include "platform/serial_port.h"
#include "platform/thread.h"

namespace tovl {

namespace {

using Clock = std::chrono::steady_clock;

// Interrupts a modem-line wait (TIOCMIWAIT) when the port closes. Ignored by
// default, so a stray one does no harm.
constexpr int kWakeSignal = SIGURG;
constexpr uint32_t kModemPollMs = 50;

void NoOpHandler(int) {}

void InstallWakeHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = NoOpHandler;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;  // no SA_RESTART: the wait must return EINTR
        sigaction(kWakeSignal, &sa, nullptr);
    });
}

uint32_t StatusFromLines(int lines) {
    uint32_t status = 0;
    if (lines & TIOCM_CTS) status |= 0x10;
    if (lines & TIOCM_DSR) status |= 0x20;
    if (lines & TIOCM_RNG) status |= 0x40;
    if (lines & TIOCM_CD) status |= 0x80;
    return status;
}

class CPosixSerialPort final : public CSerialPort {
  public:
    CPosixSerialPort(CUniqueFd fd, CUucpLock lock)
        : device_(std::move(fd)), fd_(device_.Get()), lock_(std::move(lock)) {
        closing_.Create(CEvent::ResetMode::Manual, false);
        termios t;
        tcgetattr(fd_, &t);
        uint32_t baud = 9600;
        GetActualBaud(fd_, &baud);
        dcb_ = DcbFromTermios(t, baud, SerialDcb{});
    }

    ~CPosixSerialPort() override { Close(); }

    uint32_t HandleValue() const override { return static_cast<uint32_t>(fd_); }

    void Purge() override {
        if (!closed_) tcflush(fd_, TCIOFLUSH);
    }

    CStatus GetModemControl(uint32_t* control) override {
        int lines = 0;
        if (closed_ || ioctl(fd_, TIOCMGET, &lines) != 0)
            return Fail(kErrorInvalidParameter, "GetModemControl");
        *control = ((lines & TIOCM_DTR) ? 0x01 : 0) | ((lines & TIOCM_RTS) ? 0x02 : 0);
        return {};
    }

    CStatus SetModemControl(uint32_t control) override {
        if (closed_) return Fail(kErrorInvalidHandle, "SetModemControl");
        // Both lines are set, whether or not the first succeeds.
        const CStatus dtr = SetLine(TIOCM_DTR, control & 0x01);
        const CStatus rts = SetLine(TIOCM_RTS, control & 0x02);
        return dtr ? rts : dtr;
    }

    CStatus GetModemStatus(uint32_t* status) override {
        int lines = 0;
        if (closed_ || ioctl(fd_, TIOCMGET, &lines) != 0)
            return Fail(kErrorNotSupported, "GetModemStatus");
        const uint32_t now = StatusFromLines(lines);
        // The low four bits tell what changed since the last query.
        const uint32_t before = lastStatus_.exchange(now);
        const uint32_t changed = now ^ before;
        uint32_t deltas = 0;
        if (changed & 0x10) deltas |= 0x01;
        if (changed & 0x20) deltas |= 0x02;
        if ((before & 0x40) && !(now & 0x40)) deltas |= 0x04;
        if (changed & 0x80) deltas |= 0x08;
        *status = now | deltas;
        return {};
    }

    CStatus GetState(SerialDcb* dcb) override {
        std::lock_guard<std::mutex> lock(stateLock_);
        if (closed_) return Fail(kErrorInvalidHandle, "GetState");
        *dcb = dcb_;
        // The rate the line has, which a driver may have rounded or limited.
        uint32_t actual = 0;
        if (GetActualBaud(fd_, &actual) && actual != 0) dcb->BaudRate = actual;
        return {};
    }

    CStatus SetState(const SerialDcb& dcb) override {
        std::lock_guard<std::mutex> lock(stateLock_);
        return Apply(dcb);
    }

    CStatus SetHandflow(const SerialHandflow& handflow) override {
        std::lock_guard<std::mutex> lock(stateLock_);
        SerialDcb dcb = dcb_;
        ApplyHandflowToDcb(handflow, &dcb);
        return Apply(dcb);
    }

    CStatus GetTimeouts(SerialTimeouts* timeouts) override {
        std::lock_guard<std::mutex> lock(stateLock_);
        *timeouts = timeouts_;
        return !closed_ ? CStatus() : Fail(kErrorInvalidHandle, "GetTimeouts");
    }

    CStatus SetTimeouts(const SerialTimeouts& timeouts) override {
        std::lock_guard<std::mutex> lock(stateLock_);
        if (closed_) return Fail(kErrorInvalidHandle, "SetTimeouts");
        timeouts_ = timeouts;
        return {};
    }

    CStatus Write(const uint8_t* data, uint32_t length, uint32_t* written,
                  const WriteAbort& abort) override;
    void StartModemWait(CEvent& modemChange) override;
    ReaderWake WaitForReader(CEvent& modemChange, CEvent& stop, uint8_t* buffer, uint32_t capacity,
                             uint32_t* count, CStatus* loss) override;
    void Close() override;

    CStatus SetModemLine(SerialLine line, bool raised) override {
        if (closed_) return Fail(kErrorInvalidHandle, "SetModemLine");
        return SetLine(line == SerialLine::Dtr ? TIOCM_DTR : TIOCM_RTS, raised);
    }

    CStatus SetBreak(bool on) override {
        if (closed_) return Fail(kErrorInvalidHandle, "SetBreak");
        return ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) == 0 ? CStatus()
                                                         : Fail(kErrorNotSupported, "SetBreak");
    }

    CStatus PurgeQueues(bool receive, bool transmit) override {
        if (closed_) return Fail(kErrorInvalidHandle, "PurgeQueues");
        if (!receive && !transmit) return {};
        const int which = receive && transmit ? TCIOFLUSH : receive ? TCIFLUSH : TCOFLUSH;
        return tcflush(fd_, which) == 0 ? CStatus() : Fail(kErrorInvalidParameter, "PurgeQueues");
    }

    CStatus TakeLineErrors(SerialLineErrors* errors) override;
    // Errors come with received bytes here, which wake the reader anyway.
    void WakeOnLineErrors() override {}

  private:
    static CStatus Fail(uint32_t code, const char* operation) { return {code, operation}; }

    CStatus SetLine(int bit, bool raise) {
        return ioctl(fd_, raise ? TIOCMBIS : TIOCMBIC, &bit) == 0
                   ? CStatus()
                   : Fail(kErrorInvalidParameter, "SetLine");
    }

    // Called with stateLock_ held.
    CStatus Apply(const SerialDcb& dcb) {
        if (closed_) return Fail(kErrorInvalidHandle, "SetState");
        termios t;
        if (tcgetattr(fd_, &t) != 0) return Fail(kErrorGenFailure, "SetState");
        uint32_t customBaud = 0;
        if (!DcbToTermios(dcb, &t, &customBaud)) return Fail(kErrorInvalidParameter, "SetState");
        if (tcsetattr(fd_, TCSANOW, &t) != 0) return Fail(kErrorInvalidParameter, "SetState");
        if (customBaud != 0 && !SetCustomBaud(fd_, customBaud)) {
            // The old rate stays.
            SerialDcb kept = dcb;
            kept.BaudRate = dcb_.BaudRate;
            dcb_ = kept;
            return Fail(kErrorInvalidParameter, "SetState");
        }
        // As the serial driver does: DTR and RTS follow their control mode
        // when the mode changes (a handshake mode starts with the line up).
        if (dcb.fDtrControl != dcb_.fDtrControl) SetLine(TIOCM_DTR, dcb.fDtrControl != 0);
        if (dcb.fRtsControl != dcb_.fRtsControl)
            SetLine(TIOCM_RTS, dcb.fRtsControl == 1 || dcb.fRtsControl == 2);
        dcb_ = dcb;
        return {};
    }

    void WatchModemLines(CEvent* modemChange);

    enum class ReadOutcome { Added, Gathered, HungUp };
    // One read of what the device holds: into the pending read and, when the
    // caller has room for more than one block, on into buffer behind it.
    ReadOutcome ReadAvailable(uint8_t* buffer, uint32_t capacity, uint32_t* count);

    CUniqueFd device_;  // the device, then /dev/null once closed
    const int fd_;      // its number, read by both threads
    CUucpLock lock_;
    std::atomic<bool> closed_{false};
    std::atomic<uint32_t> lastStatus_{0};
    CEvent closing_;

    std::mutex stateLock_;
    SerialDcb dcb_;
    SerialTimeouts timeouts_;

    // Reader state; only the reader thread touches it.
    CPendingRead read_;
    bool readFailed_ = false;
    uint32_t lostError_ = 0;  // why reading ended (a Windows error number)

    // Line error counters, by TakeLineErrors under lineLock_.
    std::mutex lineLock_;
    bool countersChecked_ = false;
    bool countersWork_ = false;
    serial_icounter_struct counts_{};

    std::thread watcher_;
    std::atomic<bool> watcherDone_{false};
    std::atomic<bool> readerInPoll_{false};
};

CStatus CPosixSerialPort::Write(const uint8_t* data, uint32_t length, uint32_t* written,
                                const WriteAbort& abort) {
    *written = 0;
    if (closed_) return Fail(kErrorInvalidHandle, "Write");
    SerialTimeouts t;
    {
        std::lock_guard<std::mutex> lock(stateLock_);
        t = timeouts_;
    }
    // Saturated: a total too long for the clock means no limit.
    const Clock::time_point start = Clock::now();
    Clock::time_point deadline = TotalTimeoutDeadline(start, t.WriteTotalTimeoutMultiplier, length,
                                                      t.WriteTotalTimeoutConstant);
    if (abort.limitMs != 0)
        deadline = std::min(deadline, start + std::chrono::milliseconds(abort.limitMs));
    Clock::time_point progress = start;
    uint32_t done = 0;
    while (done < length) {
        ssize_t n = ::write(fd_, data + done, length - done);
        if (n > 0) {
            done += static_cast<uint32_t>(n);
            progress = Clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            // The device is gone or refuses: nothing to wait for.
            *written = done;
            return done > 0 ? CStatus() : Fail(WindowsErrorFromErrno(errno), "Write");
        }
        Clock::time_point until = deadline;
        if (abort.stallMs != 0)
            until = std::min(until, progress + std::chrono::milliseconds(abort.stallMs));
        const int waitMs = PollMsUntil(Clock::now(), until);
        if (waitMs == 0) break;
        // While the device holds the data back, the session's stop, the
        // port's close and the client's leaving end the wait too.
        pollfd p[4] = {{fd_, POLLOUT, 0}, {EventPollFd(closing_), POLLIN, 0}};
        nfds_t count = 2;
        if (abort.stop != nullptr) p[count++] = {EventPollFd(*abort.stop), POLLIN, 0};
        const nfds_t connection = count;
        if (abort.connection != 0) p[count++] = {static_cast<int>(abort.connection), POLLRDHUP, 0};
        int r = poll(p, count, waitMs);
        if (r < 0 && errno != EINTR) break;
        if (r <= 0) continue;
        if (p[0].revents & (POLLERR | POLLHUP | POLLNVAL) && !(p[0].revents & POLLOUT)) break;
        for (nfds_t i = 1; i < count; ++i) {
            if (p[i].revents != 0) {
                *written = done;
                return Fail(i == connection ? kErrorGracefulDisconnect : kErrorOperationAborted,
                            "Write");
            }
        }
    }
    *written = done;
    return {};
}

void CPosixSerialPort::StartModemWait(CEvent& modemChange) {
    // One watcher for the life of the port: it sets the event at every
    // change, so no change can fall between two waits.
    if (closed_ || watcher_.joinable()) return;
    int lines = 0;
    if (ioctl(fd_, TIOCMGET, &lines) != 0) return;  // no modem lines (a pseudo-terminal)
    lastStatus_ = StatusFromLines(lines);
    InstallWakeHandler();
    watcher_ = std::thread([this, &modemChange] { WatchModemLines(&modemChange); });
}

void CPosixSerialPort::WatchModemLines(CEvent* modemChange) {
    constexpr int kWatched = TIOCM_CTS | TIOCM_DSR | TIOCM_CD;
    bool kernelWait = true;
    int before = 0;
    if (ioctl(fd_, TIOCMGET, &before) != 0) kernelWait = false;
    while (!closed_) {
        if (kernelWait) {
            if (ioctl(fd_, TIOCMIWAIT, kWatched) == 0) {
                if (!closed_) modemChange->Set();
                continue;
            }
            if (errno == EINTR) continue;
            kernelWait = false;  // not supported by this device: poll the lines
        }
        int lines = 0;
        if (ioctl(fd_, TIOCMGET, &lines) != 0) break;  // the lines cannot be read any more
        if ((lines ^ before) & kWatched) modemChange->Set();
        before = lines;
        closing_.Wait(kModemPollMs);
    }
    watcherDone_ = true;
}

ReaderWake CPosixSerialPort::WaitForReader(CEvent& modemChange, CEvent& stop, uint8_t* buffer,
                                           uint32_t capacity, uint32_t* count, CStatus* loss) {
    *count = 0;
    if (readFailed_ && !read_.Pending()) {
        *loss = CStatus(lostError_, "read");
        return ReaderWake::Lost;
    }
    if (!readFailed_ && !read_.Pending()) {
        SerialTimeouts t;
        {
            std::lock_guard<std::mutex> lock(stateLock_);
            t = timeouts_;
        }
        read_.Start(t, capacity, Clock::now());
    }
    // One poll per pass tells about both events and the device; an event is
    // taken only when the poll saw it set, so a pass in which nothing was
    // signalled costs that one call.
    pollfd fds[3] = {
        {EventPollFd(modemChange), POLLIN, 0}, {EventPollFd(stop), POLLIN, 0}, {fd_, POLLIN, 0}};
    for (;;) {
        const nfds_t n = readFailed_ ? 2 : 3;
        int timeoutMs = -1;
        if (read_.Pending()) {
            const Clock::time_point now = Clock::now();
            // A read already complete is handed over after the events have
            // had their turn in a poll that does not sleep.
            timeoutMs = read_.Complete(now) ? 0 : read_.WaitMs(now);
        }
        for (pollfd& p : fds) p.revents = 0;
        readerInPoll_ = true;
        const int r = poll(fds, n, timeoutMs);
        // Cleared again once the device is no longer used in this round.
        struct Leave {
            std::atomic<bool>& flag;
            ~Leave() { flag = false; }
        } leave{readerInPoll_};
        if (r < 0 && errno != EINTR) {
            SleepMs(10);  // never spin on a failing wait
            continue;
        }
        // Highest priority first; an auto-reset event another waiter has
        // taken meanwhile is simply not there.
        if ((fds[0].revents & POLLIN) && EventTryTake(modemChange)) return ReaderWake::ModemChange;
        if ((fds[1].revents & POLLIN) && EventTryTake(stop)) return ReaderWake::Stop;
        if (n == 3 && fds[2].revents != 0) {
            bool hungUp = (fds[2].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
            if (fds[2].revents & POLLIN) {
                const ReadOutcome outcome = ReadAvailable(buffer, capacity, count);
                if (outcome == ReadOutcome::Gathered) return ReaderWake::Data;
                hungUp = outcome == ReadOutcome::HungUp;
            }
            if (hungUp) {
                // The device has gone: what was read before goes first, then
                // the loss is told (and told again at every later wait).
                readFailed_ = true;
                if (lostError_ == 0) lostError_ = kErrorDeviceNotConnected;
                if (read_.Pending()) {
                    *count = read_.Take(buffer);
                    if (*count > 0) return ReaderWake::Data;
                }
                *loss = CStatus(lostError_, "read");
                return ReaderWake::Lost;
            }
        }
        if (read_.Pending() && read_.Complete(Clock::now())) {
            *count = read_.Take(buffer);
            return ReaderWake::Data;
        }
    }
}

// The reads follow each other at once when data is waiting, so one read of
// everything there gives the same blocks as one read of a block at a time:
// the pending read fills first, every full block behind it is a read that
// completed at once, and the rest starts the next read. Gathered: *count
// bytes in buffer, every block but the last full.
CPosixSerialPort::ReadOutcome CPosixSerialPort::ReadAvailable(uint8_t* buffer, uint32_t capacity,
                                                              uint32_t* count) {
    const uint32_t head = read_.SpaceLeft();
    const uint32_t more =
        capacity > CPendingRead::kMaxCount ? capacity - CPendingRead::kMaxCount : 0;
    iovec parts[2] = {{read_.Space(), head}, {buffer + CPendingRead::kMaxCount, more}};
    const ssize_t got = ::readv(fd_, parts, more != 0 ? 2 : 1);
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) return ReadOutcome::Added;
    if (got < 0) lostError_ = WindowsErrorFromErrno(errno);
    if (got == 0) return ReadOutcome::HungUp;
    const Clock::time_point now = Clock::now();
    const uint32_t total = static_cast<uint32_t>(got);
    read_.Add(std::min(total, head), now);
    if (total <= head) return ReadOutcome::Added;
    // The pending read is full: it goes in front of the blocks behind it.
    const uint32_t first = read_.Take(buffer);
    const uint32_t behind = total - head;
    const uint32_t tail = behind % CPendingRead::kMaxCount;
    uint32_t handed = first + behind;
    if (tail != 0) {
        SerialTimeouts t;
        {
            std::lock_guard<std::mutex> lock(stateLock_);
            t = timeouts_;
        }
        read_.Start(t, CPendingRead::kMaxCount, now);
        std::memcpy(read_.Space(), buffer + first + behind - tail, tail);
        read_.Add(tail, now);
        if (read_.Complete(now))
            read_.Take(buffer + first + behind - tail);
        else
            handed -= tail;  // the next read keeps it until it completes
    }
    *count = handed;
    return ReadOutcome::Gathered;
}

CStatus CPosixSerialPort::TakeLineErrors(SerialLineErrors* errors) {
    *errors = SerialLineErrors{};
    std::lock_guard<std::mutex> lock(lineLock_);
    if (closed_) return Fail(kErrorInvalidHandle, "TakeLineErrors");
    if (countersChecked_ && !countersWork_) return Fail(kErrorNotSupported, "TakeLineErrors");
    serial_icounter_struct now{};
    const bool counted = ioctl(fd_, TIOCGICOUNT, &now) == 0;
    if (!countersChecked_) {
        // Asked once: a device without counters (ENOTTY, EINVAL) stays so.
        countersChecked_ = true;
        countersWork_ = counted;
        counts_ = now;
        return counted ? CStatus() : Fail(kErrorNotSupported, "TakeLineErrors");
    }
    if (!counted) return Fail(kErrorNotSupported, "TakeLineErrors");
    errors->overrun = now.overrun != counts_.overrun || now.buf_overrun != counts_.buf_overrun;
    errors->parity = now.parity != counts_.parity;
    errors->framing = now.frame != counts_.frame;
    errors->breakDetected = now.brk != counts_.brk;
    counts_ = now;
    int queued = 0;
    errors->dataReady = ioctl(fd_, TIOCINQ, &queued) == 0 && queued > 0;
    queued = 0;
    errors->transmitEmpty = ioctl(fd_, TIOCOUTQ, &queued) == 0 && queued == 0;
    return {};
}

void CPosixSerialPort::Close() {
    if (closed_.exchange(true)) return;
    closing_.Set();
    if (watcher_.joinable()) {
        // A TIOCMIWAIT returns only on a line change or a signal.
        while (!watcherDone_) {
            pthread_kill(watcher_.native_handle(), kWakeSignal);
            SleepMs(2);
        }
        watcher_.join();
    }
    ioctl(fd_, TIOCNXCL);
    CUniqueFd null(open("/dev/null", O_RDWR | O_CLOEXEC));
    // Closes the device; the number stays ours (device_ now owns /dev/null).
    if (null) dup2(null.Get(), fd_);
    // A poll of the reader holds the device (and its lock) until it returns;
    // the stop of the session wakes it at once.
    for (int i = 0; i < 1000 && readerInPoll_; ++i) SleepMs(1);
    lock_.Release();
}

// Refused, with the last error set, unless the device is ours alone. The
// checks come before anything that could change the device for a holder:
// no settings are written and nothing is flushed until it is ours.
CUniqueFd OpenExclusive(const std::string& path, CUucpLock* lock) {
    SerialDeviceId device;
    if (!IdentifySerialDevice(path, &device)) return CUniqueFd();
    if (ScanForDeviceHolder(device).pid != 0 || !lock->Acquire(device.realPath)) {
        SetLastErrorCode(kErrorAccessDenied);
        return CUniqueFd();
    }
    CUniqueFd fd(open(device.realPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        SetLastErrorCode(WindowsErrorFromErrno(errno));
        return CUniqueFd();
    }
    // The same device as looked at, and a terminal.
    struct stat st;
    termios t;
    if (fstat(fd.Get(), &st) != 0 || !S_ISCHR(st.st_mode) || st.st_rdev != device.rdev ||
        st.st_dev != device.fsDev || tcgetattr(fd.Get(), &t) != 0) {
        SetLastErrorCode(kErrorFileNotFound);
        return CUniqueFd();
    }
    if (flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        SetLastErrorCode(kErrorAccessDenied);
        return CUniqueFd();
    }
    ioctl(fd.Get(), TIOCEXCL);
    // A program that opened the device since the first look.
    if (ScanForDeviceHolder(device).pid != 0) {
        ioctl(fd.Get(), TIOCNXCL);  // the holder's tty stays as it was
        SetLastErrorCode(kErrorAccessDenied);
        return CUniqueFd();
    }
    return fd;
}

}  // namespace

std::shared_ptr<CSerialPort> OpenSerialPort(const std::string& path, CStatus* status) {
    CUucpLock lock;
    CUniqueFd fd = OpenExclusive(path, &lock);
    if (!fd) {
        *status = CStatus(GetLastErrorCode(), "open");
        return nullptr;
    }
    *status = CStatus();
    termios t;
    tcgetattr(fd.Get(), &t);
    MakeRaw(&t);
    tcsetattr(fd.Get(), TCSANOW, &t);
    return std::make_shared<CPosixSerialPort>(std::move(fd), std::move(lock));
}

}  // namespace tovl
