// An in-memory serial port for the session and reader tests: it records
// every call, holds modem registers the test sets, and delivers bytes the
// test feeds as if they had arrived at the port. Its modem wait behaves as
// WaitCommEvent with mask 0x38: one completion per wait, CTS/DSR/DCD only;
// after WakeOnLineErrors an injected line error completes it too.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/serial_handflow.h"
#include "platform/serial_port.h"

namespace testing_support {

class CFakeSerialPort final : public tovl::CSerialPort {
  public:
    CFakeSerialPort();

    // Test side.
    void SetModemControlRegister(uint32_t control);
    // Changes the status lines; completes a pending modem wait when CTS, DSR
    // or DCD changed.
    void ChangeModemStatus(uint32_t status);
    void Feed(const std::string& bytes);
    void FailWrites() { failWrites_ = true; }
    // Writes take nothing and wait until their abort's stop is set.
    void HoldWrites() { holdWrites_ = true; }
    // The device goes away: the reader's wait tells it as lost.
    void Vanish();
    // The modem-control register can no longer be read (writes still work).
    void FailModemControlQueries() { failControlQueries_ = true; }
    // True when the reader has a modem wait pending.
    bool ModemWaitPending();
    // Line errors as the port would count them (added to those not yet
    // taken) and the queues' state; completes a modem wait that was told to
    // wake on them.
    void InjectLineErrors(const tovl::SerialLineErrors& errors);
    // The port cannot tell line errors (as a pseudo-terminal).
    void NoLineErrorCounters() { lineCounters_ = false; }

    struct Record {
        std::vector<std::string> calls;  // "SetState", "SetHandflow", ...
        std::string written;
        uint32_t largestWrite = 0;
        std::vector<uint32_t> controlSets;
        tovl::SerialDcb stateSet;
        tovl::SerialDcb dcb;  // the port's DCB after every change
        tovl::SerialHandflow handflow;
        tovl::SerialTimeouts timeouts;
        int purges = 0;
        bool closed = false;
        // Line control: "DTR+", "RTS-", "BREAK+", "PURGE-RX", "PURGE-TX", ...
        std::vector<std::string> lineEvents;
        int lineErrorTakes = 0;
        bool wakeOnLineErrors = false;
    };
    Record Snapshot();

    // Port side.
    uint32_t HandleValue() const override { return 0x1234; }
    void Purge() override;
    tovl::CStatus GetModemControl(uint32_t* control) override;
    tovl::CStatus SetModemControl(uint32_t control) override;
    tovl::CStatus GetModemStatus(uint32_t* status) override;
    tovl::CStatus GetState(tovl::SerialDcb* dcb) override;
    tovl::CStatus SetState(const tovl::SerialDcb& dcb) override;
    tovl::CStatus SetHandflow(const tovl::SerialHandflow& handflow) override;
    tovl::CStatus GetTimeouts(tovl::SerialTimeouts* timeouts) override;
    tovl::CStatus SetTimeouts(const tovl::SerialTimeouts& timeouts) override;
    using tovl::CSerialPort::Write;
    tovl::CStatus Write(const uint8_t* data, uint32_t length, uint32_t* written,
                        const tovl::WriteAbort& abort) override;
    void StartModemWait(tovl::CEvent& modemChange) override;
    tovl::ReaderWake WaitForReader(tovl::CEvent& modemChange, tovl::CEvent& stop, uint8_t* buffer,
                                   uint32_t capacity, uint32_t* count,
                                   tovl::CStatus* loss) override;
    void Close() override;
    tovl::CStatus SetModemLine(tovl::SerialLine line, bool raised) override;
    tovl::CStatus SetBreak(bool on) override;
    tovl::CStatus PurgeQueues(bool receive, bool transmit) override;
    tovl::CStatus TakeLineErrors(tovl::SerialLineErrors* errors) override;
    void WakeOnLineErrors() override;

  private:
    std::mutex lock_;
    Record record_;
    uint32_t control_ = 0;
    uint32_t status_ = 0;
    std::atomic<bool> failWrites_{false};
    std::atomic<bool> holdWrites_{false};
    std::atomic<bool> vanished_{false};
    std::atomic<bool> failControlQueries_{false};
    std::deque<uint8_t> incoming_;
    tovl::CEvent dataReady_;
    tovl::CEvent* modemWait_ = nullptr;  // the pending wait's event
    std::atomic<bool> lineCounters_{true};
    tovl::SerialLineErrors lineErrors_;  // not yet taken
    bool lineBaseline_ = false;
};

}  // namespace testing_support
