// An in-memory provider of virtual ports for the client's tests: ports made
// with AddPort get the four named events; data, settings, lines, open state
// and pending counts are scripted by the test; what the client writes and
// sets is recorded. Thread-safe (the pumps call it from their threads).
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "client/vexa_driver.h"

namespace tovl {

class CFakeVexaBinding final : public CVexaBinding {
  public:
    struct Port {
        tovl::CEvent data, settings, flowControl, opened;
        std::deque<uint8_t> readable;
        // Pending counts to report, one per query; when empty: readable.size().
        std::deque<uint32_t> pendingScript;
        // Reads that give nothing before the readable bytes are given.
        uint32_t readsWithheld = 0;
        bool pendingFails = false;
        std::vector<uint8_t> written;
        std::vector<uint32_t> writeSizes;
        uint32_t openState = 0;
        bool openStateFails = false;
        std::vector<uint32_t> lineMasksSet;
        uint32_t linesToReport = 0;  // as a mask
        PortLinkSettings settingsToReport;
        std::vector<uint32_t> openStateQueries;
        uint32_t uses = 0;  // reported as the use count
        uint32_t hangUps = 0;
        // While set, a write to the port waits (a pump held in the driver).
        std::atomic<bool> writesHeld{false};
    };

    CFakeVexaBinding() { SetVexaBinding(this); }
    ~CFakeVexaBinding() override { SetVexaBinding(nullptr); }

    // Makes port n with its events (named as the driver's).
    Port& AddPort(uint32_t n);
    // Access under the lock.
    template <typename F>
    auto With(uint32_t n, F f) {
        std::lock_guard<std::mutex> guard(lock_);
        return f(*ports_.at(n));
    }
    Port& Raw(uint32_t n) { return *ports_.at(n); }
    // Ports whose open state was asked, in order.
    std::vector<uint32_t> OpenStateOrder() {
        std::lock_guard<std::mutex> guard(lock_);
        return openOrder_;
    }

    bool ReadData(uint32_t index, uint8_t* buffer, uint32_t size, uint32_t* count) override;
    bool WriteData(uint32_t index, const uint8_t* data, uint32_t size, uint32_t* count) override;
    bool GetLines(uint32_t index, uint32_t* mask) override;
    bool SetLines(uint32_t index, uint32_t mask) override;
    bool GetSettings(uint32_t index, PortLinkSettings* settings) override;
    bool CheckPort(uint32_t index) override;
    bool GetOpenState(uint32_t index, uint32_t* state) override;
    bool GetPending(uint32_t index, uint32_t* pending) override;
    bool SetStatus(uint32_t index, uint32_t status) override;
    bool OpenEvent(uint32_t index, VexaPortEvent which, CEvent* event) override;
    bool HangUp(uint32_t index) override;
    uint32_t UseCount(uint32_t index) override;

  private:
    Port* Find(uint32_t index);

    std::mutex lock_;
    std::map<uint32_t, std::unique_ptr<Port>> ports_;
    std::vector<uint32_t> openOrder_;
};

}  // namespace tovl
