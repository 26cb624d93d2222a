// COM<n> on Windows: CreateFileA("COM%d") with share mode 0 and overlapped
// I/O; every port operation is overlapped with a record and event of its
// own. The handle is only used under lock_, so Close (from the session
// thread) never races a call of the reader on a closed or reused handle;
// pending operations are cancelled and waited for before their records go.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

#include "platform/serial_port.h"
#include "platform/win32/event_win32.h"
#include "platform/win32/unique_handle_win32.h"

namespace tovl {

namespace {

// The serial driver's published control codes.
constexpr DWORD kIoctlSetHandflow = 0x1B0064;
constexpr DWORD kIoctlGetModemStatus = 0x1B0068;
constexpr DWORD kIoctlGetModemControl = 0x1B0094;
constexpr DWORD kIoctlSetModemControl = 0x1B0098;
// How long a dying port's cancelled operations may take to finish.
constexpr DWORD kCancelWaitMs = 2000;

struct WireHandflow {  // SERIAL_HANDFLOW
    ULONG ControlHandShake;
    ULONG FlowReplace;
    LONG XonLimit;
    LONG XoffLimit;
};
static_assert(sizeof(WireHandflow) == 16, "SERIAL_HANDFLOW is 16 bytes");

// One overlapped record with its own auto-reset event.
struct COverlapped {
    OVERLAPPED ov{};
    CEvent event;
    COverlapped() {
        event.Create(CEvent::ResetMode::Auto, false);
        ov.hEvent = EventHandle(event);
    }
    void Reset() {
        HANDLE e = ov.hEvent;
        memset(&ov, 0, sizeof ov);
        ov.hEvent = e;
    }
};

void CopyToDcb(const SerialDcb& from, DCB* to) {
    to->BaudRate = from.BaudRate;
    to->ByteSize = from.ByteSize;
    to->Parity = from.Parity;
    to->StopBits = from.StopBits;
    to->XonChar = static_cast<char>(from.XonChar);
    to->XoffChar = static_cast<char>(from.XoffChar);
    to->ErrorChar = static_cast<char>(from.ErrorChar);
    to->EofChar = static_cast<char>(from.EofChar);
    to->EvtChar = static_cast<char>(from.EvtChar);
    to->XonLim = from.XonLim;
    to->XoffLim = from.XoffLim;
    to->fBinary = from.fBinary;
    to->fParity = from.fParity;
    to->fOutxCtsFlow = from.fOutxCtsFlow;
    to->fOutxDsrFlow = from.fOutxDsrFlow;
    to->fDtrControl = from.fDtrControl;
    to->fDsrSensitivity = from.fDsrSensitivity;
    to->fTXContinueOnXoff = from.fTXContinueOnXoff;
    to->fOutX = from.fOutX;
    to->fInX = from.fInX;
    to->fErrorChar = from.fErrorChar;
    to->fNull = from.fNull;
    to->fRtsControl = from.fRtsControl;
    to->fAbortOnError = from.fAbortOnError;
}

void CopyFromDcb(const DCB& from, SerialDcb* to) {
    to->BaudRate = from.BaudRate;
    to->ByteSize = from.ByteSize;
    to->Parity = from.Parity;
    to->StopBits = from.StopBits;
    to->XonChar = static_cast<uint8_t>(from.XonChar);
    to->XoffChar = static_cast<uint8_t>(from.XoffChar);
    to->ErrorChar = static_cast<uint8_t>(from.ErrorChar);
    to->EofChar = static_cast<uint8_t>(from.EofChar);
    to->EvtChar = static_cast<uint8_t>(from.EvtChar);
    to->XonLim = from.XonLim;
    to->XoffLim = from.XoffLim;
    to->fBinary = from.fBinary;
    to->fParity = from.fParity;
    to->fOutxCtsFlow = from.fOutxCtsFlow;
    to->fOutxDsrFlow = from.fOutxDsrFlow;
    to->fDtrControl = static_cast<uint8_t>(from.fDtrControl);
    to->fDsrSensitivity = from.fDsrSensitivity;
    to->fTXContinueOnXoff = from.fTXContinueOnXoff;
    to->fOutX = from.fOutX;
    to->fInX = from.fInX;
    to->fErrorChar = from.fErrorChar;
    to->fNull = from.fNull;
    to->fRtsControl = static_cast<uint8_t>(from.fRtsControl);
    to->fAbortOnError = from.fAbortOnError;
}

class CWin32SerialPort final : public CSerialPort {
  public:
    explicit CWin32SerialPort(CUniqueHandle handle)
        : handleValue_(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle.Get()))),
          handle_(std::move(handle)) {}

    ~CWin32SerialPort() override {
        Close();
        // The records must outlive the operations that the close cancelled.
        if (readPending_) WaitForSingleObject(read_.ov.hEvent, kCancelWaitMs);
        if (commPending_) WaitForSingleObject(commOv_.hEvent, kCancelWaitMs);
    }

    uint32_t HandleValue() const override { return handleValue_; }

    void Purge() override {
        std::lock_guard<std::mutex> lock(lock_);
        if (!closed_) PurgeComm(handle_.Get(), kPurgeAll);
    }

    CStatus GetModemControl(uint32_t* control) override {
        return Result(Ioctl(control_, kIoctlGetModemControl, nullptr, 0, control, sizeof *control),
                      "GetModemControl");
    }

    CStatus SetModemControl(uint32_t control) override {
        return Result(Ioctl(control_, kIoctlSetModemControl, &control, sizeof control, nullptr, 0),
                      "SetModemControl");
    }

    CStatus GetModemStatus(uint32_t* status) override {
        return Result(Ioctl(status_, kIoctlGetModemStatus, nullptr, 0, status, sizeof *status),
                      "GetModemStatus");
    }

    CStatus GetState(SerialDcb* dcb) override {
        std::lock_guard<std::mutex> lock(lock_);
        DCB d{};
        d.DCBlength = sizeof d;
        if (closed_ || !GetCommState(handle_.Get(), &d)) return Result(false, "GetState");
        CopyFromDcb(d, dcb);
        return {};
    }

    CStatus SetState(const SerialDcb& dcb) override {
        std::lock_guard<std::mutex> lock(lock_);
        DCB d{};
        d.DCBlength = sizeof d;
        if (closed_ || !GetCommState(handle_.Get(), &d)) return Result(false, "SetState");
        CopyToDcb(dcb, &d);
        return Result(SetCommState(handle_.Get(), &d) != FALSE, "SetState");
    }

    CStatus SetHandflow(const SerialHandflow& h) override {
        WireHandflow wire{h.ControlHandShake, h.FlowReplace, h.XonLimit, h.XoffLimit};
        return Result(Ioctl(control_, kIoctlSetHandflow, &wire, sizeof wire, nullptr, 0),
                      "SetHandflow");
    }

    CStatus GetTimeouts(SerialTimeouts* t) override {
        std::lock_guard<std::mutex> lock(lock_);
        COMMTIMEOUTS c{};
        if (closed_ || !GetCommTimeouts(handle_.Get(), &c)) return Result(false, "GetTimeouts");
        *t = SerialTimeouts{c.ReadIntervalTimeout, c.ReadTotalTimeoutMultiplier,
                            c.ReadTotalTimeoutConstant, c.WriteTotalTimeoutMultiplier,
                            c.WriteTotalTimeoutConstant};
        return {};
    }

    CStatus SetTimeouts(const SerialTimeouts& t) override {
        std::lock_guard<std::mutex> lock(lock_);
        COMMTIMEOUTS c{t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                       t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                       t.WriteTotalTimeoutConstant};
        return Result(!closed_ && SetCommTimeouts(handle_.Get(), &c), "SetTimeouts");
    }

    CStatus Write(const uint8_t* data, uint32_t length, uint32_t* written,
                  const WriteAbort& abort) override {
        *written = 0;
        {
            std::lock_guard<std::mutex> lock(lock_);
            if (closed_) return Result(false, "Write");
            write_.Reset();
            if (!WriteFile(handle_.Get(), data, length, nullptr, &write_.ov) &&
                GetLastError() != ERROR_IO_PENDING)
                return Result(false, "Write");  // failed at once: no completion will come
        }
        // Only this thread closes the port, so the wait ends with the write,
        // or with the session's stop, which cancels the write first.
        HANDLE handles[2] = {write_.ov.hEvent, nullptr};
        DWORD n = 1;
        if (abort.stop != nullptr) handles[n++] = EventHandle(*abort.stop);
        // A limit ends the write as its time-out would: what was taken counts.
        const DWORD r = WaitForMultipleObjects(n, handles, FALSE,
                                               abort.limitMs != 0 ? abort.limitMs : INFINITE);
        const bool aborted = r != WAIT_OBJECT_0 && r != WAIT_TIMEOUT;
        if (r != WAIT_OBJECT_0) {
            {
                std::lock_guard<std::mutex> lock(lock_);
                if (!closed_) CancelIoEx(handle_.Get(), &write_.ov);
            }
            WaitForSingleObject(write_.ov.hEvent, kCancelWaitMs);
        }
        std::lock_guard<std::mutex> lock(lock_);
        DWORD done = 0;
        if (!closed_ && GetOverlappedResult(handle_.Get(), &write_.ov, &done, FALSE))
            *written = done;
        if (aborted) return CStatus(ERROR_OPERATION_ABORTED, "Write");
        return {};
    }

    void StartModemWait(CEvent& modemChange) override {
        std::lock_guard<std::mutex> lock(lock_);
        if (closed_) return;
        // A wait still pending (the session set the event) is left alone.
        if (commPending_ && !HasOverlappedIoCompleted(&commOv_)) return;
        if (!maskSet_) {
            SetCommMask(handle_.Get(), kCommEventMask | (lineEvents_ ? kLineEventMask : 0));
            maskSet_ = true;
        }
        memset(&commOv_, 0, sizeof commOv_);
        commOv_.hEvent = EventHandle(modemChange);
        commPending_ = WaitCommEvent(handle_.Get(), &commMask_, &commOv_) ||
                       GetLastError() == ERROR_IO_PENDING;
    }

    ReaderWake WaitForReader(CEvent& modemChange, CEvent& stop, uint8_t* buffer, uint32_t capacity,
                             uint32_t* count, CStatus* loss) override {
        *count = 0;
        {
            std::lock_guard<std::mutex> lock(lock_);
            if (!closed_ && !readFailed_ && !readPending_) {
                read_.Reset();
                const DWORD want = std::min<uint32_t>(capacity, sizeof readBuffer_);
                if (ReadFile(handle_.Get(), readBuffer_, want, nullptr, &read_.ov) ||
                    GetLastError() == ERROR_IO_PENDING)
                    readPending_ = true;
                else
                    ReadFailed(GetLastError());  // no completion will come
            }
            if (lostError_ != 0 && !readPending_) {
                *loss = CStatus(lostError_, "read");
                return ReaderWake::Lost;
            }
        }
        HANDLE handles[3] = {EventHandle(modemChange), EventHandle(stop), read_.ov.hEvent};
        for (;;) {
            const DWORD n = readPending_ ? 3 : 2;
            const DWORD r = WaitForMultipleObjects(n, handles, FALSE, INFINITE);
            if (r == WAIT_OBJECT_0) return ReaderWake::ModemChange;
            if (r == WAIT_OBJECT_0 + 1) return ReaderWake::Stop;
            if (r == WAIT_OBJECT_0 + 2) {
                std::lock_guard<std::mutex> lock(lock_);
                DWORD got = 0;
                readPending_ = false;
                // A read that fails would fail again at once: stop reading
                // rather than spin. A device that went away ends the
                // session; abort-on-error after a line error keeps the events.
                if (!GetOverlappedResult(handle_.Get(), &read_.ov, &got, FALSE)) {
                    got = 0;
                    if (!closed_) ReadFailed(GetLastError());
                    if (lostError_ != 0) {
                        *loss = CStatus(lostError_, "read");
                        return ReaderWake::Lost;
                    }
                }
                memcpy(buffer, readBuffer_, got);
                *count = got;
                return ReaderWake::Data;
            }
            Sleep(10);  // a failed wait is not retried in a tight loop
        }
    }

    void Close() override {
        std::lock_guard<std::mutex> lock(lock_);
        if (closed_) return;
        closed_ = true;
        CancelIoEx(handle_.Get(), nullptr);
        handle_.Reset();
    }

    CStatus SetModemLine(SerialLine line, bool raised) override {
        std::lock_guard<std::mutex> lock(lock_);
        if (closed_) return Result(false, "SetModemLine");
        DWORD function =
            line == SerialLine::Dtr ? (raised ? SETDTR : CLRDTR) : (raised ? SETRTS : CLRRTS);
        return Result(EscapeCommFunction(handle_.Get(), function) != 0, "SetModemLine");
    }

    CStatus SetBreak(bool on) override {
        std::lock_guard<std::mutex> lock(lock_);
        if (closed_) return Result(false, "SetBreak");
        return Result((on ? SetCommBreak(handle_.Get()) : ClearCommBreak(handle_.Get())) != 0,
                      "SetBreak");
    }

    CStatus PurgeQueues(bool receive, bool transmit) override {
        std::lock_guard<std::mutex> lock(lock_);
        if (closed_) return Result(false, "PurgeQueues");
        DWORD flags = (receive ? PURGE_RXCLEAR : 0) | (transmit ? PURGE_TXCLEAR : 0);
        return Result(flags == 0 || PurgeComm(handle_.Get(), flags) != 0, "PurgeQueues");
    }

    CStatus TakeLineErrors(SerialLineErrors* errors) override {
        *errors = SerialLineErrors{};
        std::lock_guard<std::mutex> lock(lock_);
        if (closed_ || (errorsChecked_ && !errorsWork_)) return Result(false, "TakeLineErrors");
        DWORD flags = 0;
        COMSTAT stat{};
        // Reading the errors also clears them, so each is reported once.
        const bool read = ClearCommError(handle_.Get(), &flags, &stat) != FALSE;
        if (!errorsChecked_) {
            errorsChecked_ = true;
            errorsWork_ = read;
            return Result(read, "TakeLineErrors");
        }
        if (!read) return Result(false, "TakeLineErrors");
        errors->overrun = (flags & (CE_OVERRUN | CE_RXOVER)) != 0;
        errors->parity = (flags & CE_RXPARITY) != 0;
        errors->framing = (flags & CE_FRAME) != 0;
        errors->breakDetected = (flags & CE_BREAK) != 0;
        errors->dataReady = stat.cbInQue > 0;
        errors->transmitEmpty = stat.cbOutQue == 0;
        return {};
    }

    void WakeOnLineErrors() override {
        std::lock_guard<std::mutex> lock(lock_);
        lineEvents_ = true;
        maskSet_ = false;  // the next modem wait sets the wider mask
    }

  private:
    // A call's outcome: its failure with the thread's Windows error.
    static CStatus Result(bool ok, const char* operation) {
        if (ok) return {};
        const DWORD error = GetLastError();
        return {error != 0 ? error : static_cast<DWORD>(ERROR_INVALID_HANDLE), operation};
    }

    // Under lock_. The errors of a device that is gone end the session; an
    // abort after a line error only stops the reading.
    void ReadFailed(DWORD error) {
        readFailed_ = true;
        if (error != ERROR_OPERATION_ABORTED) lostError_ = error == 0 ? ERROR_GEN_FAILURE : error;
    }

    bool Ioctl(COverlapped& record, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize) {
        {
            std::lock_guard<std::mutex> lock(lock_);
            if (closed_) return false;
            record.Reset();
            DWORD n = 0;
            if (DeviceIoControl(handle_.Get(), code, in, inSize, out, outSize, &n, &record.ov)) {
                // Completed at once; the event was set too: take it.
                WaitForSingleObject(record.ov.hEvent, 0);
                return true;
            }
            if (GetLastError() != ERROR_IO_PENDING) return false;
        }
        // Close cancels the operation, so this wait always ends.
        WaitForSingleObject(record.ov.hEvent, INFINITE);
        std::lock_guard<std::mutex> lock(lock_);
        DWORD n = 0;
        return !closed_ && GetOverlappedResult(handle_.Get(), &record.ov, &n, FALSE);
    }

    // Kept for HandleValue, which may be asked after the close.
    const uint32_t handleValue_;
    CUniqueHandle handle_;  // under lock_
    std::mutex lock_;
    bool closed_ = false;

    // Session thread.
    COverlapped write_;
    COverlapped control_;
    // Reader thread.
    COverlapped status_;
    COverlapped read_;
    uint8_t readBuffer_[1024];
    bool readPending_ = false;
    bool readFailed_ = false;
    DWORD lostError_ = 0;  // why reading ended, when the device is gone
    OVERLAPPED commOv_{};
    DWORD commMask_ = 0;
    bool commPending_ = false;
    bool maskSet_ = false;
    bool lineEvents_ = false;  // under lock_
    // TakeLineErrors, under lock_.
    bool errorsChecked_ = false;
    bool errorsWork_ = false;
};

}  // namespace

// Windows names no holder of a COM port to an ordinary program.
std::string DescribeSerialHolder(const std::string& /*name*/) {
    return "";
}

void CheckSerialHolderVisibility() {}

std::shared_ptr<CSerialPort> OpenSerialPort(const std::string& name, CStatus* status) {
    CUniqueHandle h(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (!h) {
        *status = CStatus(GetLastError(), "open");
        return nullptr;
    }
    *status = CStatus();
    return std::make_shared<CWin32SerialPort>(std::move(h));
}

}  // namespace tovl
