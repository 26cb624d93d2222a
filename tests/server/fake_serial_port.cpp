#include "server/fake_serial_port.h"

#include <algorithm>

#include "platform/last_error.h"

using namespace tovl;

namespace testing_support {

namespace {

// What the fake answers for a call it refuses.
CStatus Failed(const char* operation) {
    return {kErrorGenFailure, operation};
}

}  // namespace

CFakeSerialPort::CFakeSerialPort() {
    dataReady_.Create(CEvent::ResetMode::Auto, false);
}

void CFakeSerialPort::SetModemControlRegister(uint32_t control) {
    std::lock_guard<std::mutex> lock(lock_);
    control_ = control;
}

void CFakeSerialPort::ChangeModemStatus(uint32_t status) {
    std::lock_guard<std::mutex> lock(lock_);
    const uint32_t changed = status_ ^ status;
    status_ = status;
    if (modemWait_ != nullptr && (changed & 0xB0) != 0) {
        modemWait_->Set();
        modemWait_ = nullptr;
    }
}

bool CFakeSerialPort::ModemWaitPending() {
    std::lock_guard<std::mutex> lock(lock_);
    return modemWait_ != nullptr;
}

void CFakeSerialPort::Feed(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(lock_);
    incoming_.insert(incoming_.end(), bytes.begin(), bytes.end());
    dataReady_.Set();
}

CFakeSerialPort::Record CFakeSerialPort::Snapshot() {
    std::lock_guard<std::mutex> lock(lock_);
    return record_;
}

void CFakeSerialPort::Purge() {
    std::lock_guard<std::mutex> lock(lock_);
    record_.calls.push_back("Purge");
    ++record_.purges;
}

CStatus CFakeSerialPort::GetModemControl(uint32_t* control) {
    std::lock_guard<std::mutex> lock(lock_);
    record_.calls.push_back("GetModemControl");
    if (failControlQueries_) {
        // What a failed query leaves behind is no register value.
        *control = 0;
        return Failed("GetModemControl");
    }
    *control = control_;
    return record_.closed ? Failed("GetModemControl") : CStatus();
}

CStatus CFakeSerialPort::SetModemControl(uint32_t control) {
    std::lock_guard<std::mutex> lock(lock_);
    record_.calls.push_back("SetModemControl");
    record_.controlSets.push_back(control);
    control_ = control;
    return record_.closed ? Failed("SetModemControl") : CStatus();
}

CStatus CFakeSerialPort::GetModemStatus(uint32_t* status) {
    std::lock_guard<std::mutex> lock(lock_);
    *status = status_;
    return record_.closed ? Failed("GetModemStatus") : CStatus();
}

CStatus CFakeSerialPort::GetState(SerialDcb* dcb) {
    std::lock_guard<std::mutex> lock(lock_);
    record_.calls.push_back("GetState");
    *dcb = record_.dcb;
    return {};
}

CStatus CFakeSerialPort::SetState(const SerialDcb& dcb) {
    std::lock_guard<std::mutex> lock(lock_);
    record_.calls.push_back("SetState");
    record_.stateSet = dcb;
    record_.dcb = dcb;
    return {};
}

CStatus CFakeSerialPort::SetHandflow(const SerialHandflow& handflow) {
    std::lock_guard<std::mutex> lock(lock_);
    record_.calls.push_back("SetHandflow");
    record_.handflow = handflow;
    ApplyHandflowToDcb(handflow, &record_.dcb);
    return {};
}

CStatus CFakeSerialPort::GetTimeouts(SerialTimeouts* timeouts) {
    std::lock_guard<std::mutex> lock(lock_);
    record_.calls.push_back("GetTimeouts");
    *timeouts = record_.timeouts;
    return {};
}

CStatus CFakeSerialPort::SetTimeouts(const SerialTimeouts& timeouts) {
    std::lock_guard<std::mutex> lock(lock_);
    record_.calls.push_back("SetTimeouts");
    record_.timeouts = timeouts;
    return {};
}

void CFakeSerialPort::Vanish() {
    vanished_ = true;
    dataReady_.Set();
}

CStatus CFakeSerialPort::Write(const uint8_t* data, uint32_t length, uint32_t* written,
                               const WriteAbort& abort) {
    if (holdWrites_) {
        {
            std::lock_guard<std::mutex> lock(lock_);
            record_.calls.push_back("Write");
        }
        *written = 0;
        if (abort.stop != nullptr) abort.stop->Wait(kInfinite);
        return Failed("Write");
    }
    std::lock_guard<std::mutex> lock(lock_);
    record_.calls.push_back("Write");
    *written = 0;
    if (failWrites_ || record_.closed) return Failed("Write");
    record_.written.append(reinterpret_cast<const char*>(data), length);
    record_.largestWrite = std::max(record_.largestWrite, length);
    *written = length;
    return {};
}

void CFakeSerialPort::StartModemWait(CEvent& modemChange) {
    std::lock_guard<std::mutex> lock(lock_);
    if (modemWait_ == nullptr && !record_.closed) modemWait_ = &modemChange;
}

ReaderWake CFakeSerialPort::WaitForReader(CEvent& modemChange, CEvent& stop, uint8_t* buffer,
                                          uint32_t capacity, uint32_t* count, CStatus* loss) {
    *count = 0;
    CEvent* events[3] = {&modemChange, &stop, &dataReady_};
    for (;;) {
        const int which = WaitForAnyEvent(events, 3, kInfinite);
        if (which == 0) return ReaderWake::ModemChange;
        if (which == 1) return ReaderWake::Stop;
        if (vanished_) {
            *loss = CStatus(kErrorDeviceNotConnected, "read");
            return ReaderWake::Lost;
        }
        std::lock_guard<std::mutex> lock(lock_);
        const uint32_t n = std::min<uint32_t>(capacity, static_cast<uint32_t>(incoming_.size()));
        std::copy_n(incoming_.begin(), n, buffer);
        incoming_.erase(incoming_.begin(), incoming_.begin() + n);
        if (!incoming_.empty()) dataReady_.Set();
        *count = n;
        return ReaderWake::Data;
    }
}

void CFakeSerialPort::Close() {
    std::lock_guard<std::mutex> lock(lock_);
    record_.calls.push_back("Close");
    record_.closed = true;
    modemWait_ = nullptr;
}

CStatus CFakeSerialPort::SetModemLine(SerialLine line, bool raised) {
    std::lock_guard<std::mutex> lock(lock_);
    const uint32_t bit = line == SerialLine::Dtr ? 0x01 : 0x02;
    control_ = raised ? (control_ | bit) : (control_ & ~bit);
    record_.lineEvents.push_back(std::string(line == SerialLine::Dtr ? "DTR" : "RTS") +
                                 (raised ? "+" : "-"));
    return record_.closed ? Failed("SetModemLine") : CStatus();
}

CStatus CFakeSerialPort::SetBreak(bool on) {
    std::lock_guard<std::mutex> lock(lock_);
    record_.lineEvents.push_back(on ? "BREAK+" : "BREAK-");
    return record_.closed ? Failed("SetBreak") : CStatus();
}

CStatus CFakeSerialPort::PurgeQueues(bool receive, bool transmit) {
    std::lock_guard<std::mutex> lock(lock_);
    if (receive) record_.lineEvents.push_back("PURGE-RX");
    if (transmit) record_.lineEvents.push_back("PURGE-TX");
    return record_.closed ? Failed("PurgeQueues") : CStatus();
}

}  // namespace testing_support

namespace testing_support {

void CFakeSerialPort::InjectLineErrors(const SerialLineErrors& errors) {
    std::lock_guard<std::mutex> lock(lock_);
    lineErrors_.overrun |= errors.overrun;
    lineErrors_.parity |= errors.parity;
    lineErrors_.framing |= errors.framing;
    lineErrors_.breakDetected |= errors.breakDetected;
    lineErrors_.dataReady = errors.dataReady;
    lineErrors_.transmitEmpty = errors.transmitEmpty;
    if (record_.wakeOnLineErrors && modemWait_ != nullptr) {
        modemWait_->Set();
        modemWait_ = nullptr;
    }
}

CStatus CFakeSerialPort::TakeLineErrors(SerialLineErrors* errors) {
    std::lock_guard<std::mutex> lock(lock_);
    ++record_.lineErrorTakes;
    *errors = SerialLineErrors{};
    if (!lineCounters_ || record_.closed) return Failed("TakeLineErrors");
    if (lineBaseline_) *errors = lineErrors_;
    lineBaseline_ = true;
    const SerialLineErrors states = lineErrors_;
    lineErrors_ = SerialLineErrors{};
    lineErrors_.dataReady = states.dataReady;
    lineErrors_.transmitEmpty = states.transmitEmpty;
    return {};
}

void CFakeSerialPort::WakeOnLineErrors() {
    std::lock_guard<std::mutex> lock(lock_);
    record_.wakeOnLineErrors = true;
}

}  // namespace testing_support
