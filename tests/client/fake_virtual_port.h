// Scripted virtual ports for the client's tests: each port made with
// AddPort has its data, settings, line and opened events; what it reads,
// its pending counts, lines, settings and open state are scripted by the
// test, and what the client writes, sets and hangs up is recorded. The
// ports share one lock (With), so a test reads and scripts them safely
// while the pumps call them from their threads.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "client/virtual_port.h"

namespace tovl {

class CFakeVirtualPorts final {
  public:
    class Port final : public CVirtualPort {
      public:
        Port(CFakeVirtualPorts& set, uint32_t n);

        // Auto-reset events the test sets; the watch waits for the first
        // three and the manager for `opened`.
        CEvent data, settings, flowControl, opened;
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
        uint32_t uses = 0;  // reported as the use count
        uint32_t hangUps = 0;
        uint32_t setUps = 0;  // sessions whose open exchange completed

        uint32_t Number() const override { return n_; }
        CEvent& Opened() override { return opened; }
        bool IsOpen() override;
        uint32_t UseCount() override;
        void ServeUse(uint32_t /*use*/) override {}
        bool EndedUseWithData(uint32_t /*after*/, uint32_t* /*use*/) override { return false; }
        void HangUp() override;
        std::unique_ptr<CPortWatch> Watch(CEvent& stop) override;
        uint32_t Read(uint8_t* buffer, uint32_t size) override;
        bool Pending(uint32_t* count) override;
        void Settings(PortLinkSettings* out) override;
        void Lines(uint32_t* mask) override;
        void SessionSetUp() override;
        uint32_t Write(const uint8_t* bytes, uint32_t size) override;
        bool TakeInputFlush() override { return false; }
        void SetLines(uint32_t mask) override;

      private:
        CFakeVirtualPorts& set_;
        uint32_t n_;
    };

    // Makes port n with its events.
    Port& AddPort(uint32_t n);
    // Port n for the client, or null when it was not made.
    std::shared_ptr<CVirtualPort> Shared(uint32_t n);
    // Access under the lock.
    template <typename F>
    auto With(uint32_t n, F f) {
        std::lock_guard<std::mutex> guard(lock_);
        return f(*ports_.at(n));
    }
    Port& Raw(uint32_t n) { return *ports_.at(n); }
    // While held, a write to port n waits (a pump held in the port).
    void HoldWrites(uint32_t n, bool held);
    // Ports whose open state was asked, in order.
    std::vector<uint32_t> OpenStateOrder() {
        std::lock_guard<std::mutex> guard(lock_);
        return openOrder_;
    }

  private:
    std::mutex lock_;
    std::condition_variable writesReleased_;
    std::map<uint32_t, std::shared_ptr<Port>> ports_;
    std::map<uint32_t, bool> writesHeld_;
    std::vector<uint32_t> openOrder_;
};

}  // namespace tovl
