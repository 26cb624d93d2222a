#include "server/session_trace.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "platform/log.h"

namespace tovl {

namespace {

// What one trace holds for its reader before it drops events.
constexpr size_t kTraceQueueBytes = size_t{4} * 1024 * 1024;
constexpr size_t kMaxPort = 256;

struct Event {
    std::chrono::system_clock::time_point when;
    TraceKind kind;
    std::string bytes;  // data, or the note's text
};

std::string Timestamp(std::chrono::system_clock::time_point when) {
    return LocalTimestamp(
        std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count());
}

}  // namespace

struct CTrace::Impl {
    int portNumber = 0;
    std::mutex lock;
    std::condition_variable ready;
    std::deque<Event> events;
    size_t queued = 0;
    uint64_t dropped = 0;

    void Push(TraceKind kind, const uint8_t* data, size_t size) {
        std::lock_guard<std::mutex> guard(lock);
        if (queued + size > kTraceQueueBytes) {
            ++dropped;
            return;
        }
        events.push_back(Event{std::chrono::system_clock::now(), kind,
                               std::string(reinterpret_cast<const char*>(data), size)});
        queued += size;
        ready.notify_one();
    }
};

namespace {

struct Traces {
    std::mutex lock;
    std::map<int, std::vector<std::weak_ptr<CTrace::Impl>>> byPort;
    std::array<std::atomic<int>, kMaxPort> attached{};
};

Traces& TheTraces() {
    // Lives for the whole process: sessions may still trace while it exits.
    // NOLINTNEXTLINE(cppcoreguidelines-owning-memory)
    static auto* traces = new Traces;
    return *traces;
}

}  // namespace

CTrace::CTrace(int portNumber) : impl_(std::make_shared<Impl>()) {
    impl_->portNumber = portNumber;
    Traces& t = TheTraces();
    std::lock_guard<std::mutex> lock(t.lock);
    t.byPort[portNumber].push_back(impl_);
    if (portNumber >= 0 && static_cast<size_t>(portNumber) < kMaxPort) ++t.attached[portNumber];
}

CTrace::~CTrace() {
    Traces& t = TheTraces();
    std::lock_guard<std::mutex> lock(t.lock);
    auto& list = t.byPort[impl_->portNumber];
    for (auto it = list.begin(); it != list.end();) {
        if (it->lock() == impl_ || it->expired())
            it = list.erase(it);
        else
            ++it;
    }
    const int n = impl_->portNumber;
    if (n >= 0 && static_cast<size_t>(n) < kMaxPort) --t.attached[n];
}

bool CTrace::Take(bool raw, uint32_t timeoutMs, std::string* out) {
    std::deque<Event> taken;
    {
        std::unique_lock<std::mutex> lock(impl_->lock);
        impl_->ready.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [this] { return !impl_->events.empty(); });
        taken.swap(impl_->events);
        impl_->queued = 0;
    }
    for (const Event& e : taken) {
        const auto* data = reinterpret_cast<const uint8_t*>(e.bytes.data());
        if (raw) {
            if (e.kind != TraceKind::Note) out->append(e.bytes);
            continue;
        }
        const std::string when = Timestamp(e.when);
        switch (e.kind) {
            case TraceKind::ToPort:
                out->append(HexDumpLines(when + " client>port ", data, e.bytes.size()));
                break;
            case TraceKind::ToClient:
                out->append(HexDumpLines(when + " port>client ", data, e.bytes.size()));
                break;
            case TraceKind::Note:
                out->append(when + " -- " + e.bytes + "\n");
                break;
        }
    }
    return !taken.empty();
}

uint64_t CTrace::Dropped() const {
    std::lock_guard<std::mutex> lock(impl_->lock);
    return impl_->dropped;
}

bool TraceWanted(int portNumber) {
    if (portNumber < 0 || static_cast<size_t>(portNumber) >= kMaxPort) return false;
    return TheTraces().attached[portNumber].load(std::memory_order_relaxed) != 0;
}

void TraceEvent(int portNumber, TraceKind kind, const uint8_t* data, size_t size) {
    if (!TraceWanted(portNumber)) return;
    std::vector<std::shared_ptr<CTrace::Impl>> targets;
    {
        Traces& t = TheTraces();
        std::lock_guard<std::mutex> lock(t.lock);
        for (const auto& weak : t.byPort[portNumber])
            if (auto trace = weak.lock()) targets.push_back(trace);
    }
    for (const auto& trace : targets) trace->Push(kind, data, size);
}

void TraceNote(int portNumber, const std::string& text) {
    TraceEvent(portNumber, TraceKind::Note, reinterpret_cast<const uint8_t*>(text.data()),
               text.size());
}

// Built by hand rather than with a formatted print per byte: a trace of a
// port at full speed formats megabytes, on the same processors as the
// sessions.
std::string HexDumpLines(const std::string& prefix, const uint8_t* data, size_t size) {
    static const char kHex[] = "0123456789abcdef";
    // prefix, offset (8) and two blanks, 16 x 3 + 1, " |", 16, "|\n".
    constexpr size_t kLine = 8 + 2 + 49 + 2 + 16 + 2;
    std::string out;
    out.reserve((size + 15) / 16 * (prefix.size() + kLine));
    for (size_t at = 0; at < size; at += 16) {
        out += prefix;
        for (int shift = 28; shift >= 0; shift -= 4) out += kHex[(at >> shift) & 0xF];
        out += "  ";
        for (size_t i = 0; i < 16; ++i) {
            if (at + i < size) {
                out += kHex[data[at + i] >> 4];
                out += kHex[data[at + i] & 0xF];
                out += ' ';
            } else {
                out += "   ";
            }
            if (i == 7) out += ' ';
        }
        out += " |";
        for (size_t i = 0; i < 16 && at + i < size; ++i) {
            const uint8_t c = data[at + i];
            out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
        }
        out += "|\n";
    }
    return out;
}

}  // namespace tovl
