#include "server/session_trace.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <vector>

#include "platform/log.h"

namespace tovl {

namespace {

// What one trace holds for its reader before it drops events.
constexpr size_t kTraceQueueBytes = size_t{4} * 1024 * 1024;
// The reader takes events in batches: once the first has come it waits for
// this much more data, or this long, so a port at full speed costs a wake-up
// per batch and not per read.
constexpr size_t kBatchBytes = size_t{64} * 1024;
constexpr auto kBatchDelay = std::chrono::milliseconds(20);
constexpr size_t kMaxPort = 256;

// One event; its bytes (data, or a note's text) lie in the queue's arena.
struct Event {
    std::chrono::system_clock::time_point when;
    TraceKind kind;
    size_t offset;
    size_t size;
};

// Events and their bytes in one arena, so a port at full speed costs no
// allocation per event: the session side and the reader swap two of these,
// each keeping its capacity.
struct EventBatch {
    std::vector<Event> events;
    std::string arena;

    void Clear() {
        events.clear();
        arena.clear();
    }
};

// Local time to the microsecond; the date and time of day are worked out
// once per second of the events, the microseconds by hand.
class CTimestamps {
  public:
    const std::string& Of(std::chrono::system_clock::time_point when) {
        const int64_t micros =
            std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch()).count();
        const int64_t second = micros / 1000000;
        if (second != second_ || text_.empty()) {
            second_ = second;
            text_ = LocalTimestamp(second * 1000000);
        }
        // LocalTimestamp ends in ".uuuuuu"; only those six digits change.
        int64_t fraction = micros % 1000000;
        for (size_t i = text_.size(); i-- > text_.size() - 6;) {
            text_[i] = static_cast<char>('0' + fraction % 10);
            fraction /= 10;
        }
        return text_;
    }

  private:
    int64_t second_ = 0;
    std::string text_;
};

}  // namespace

struct CTrace::Impl {
    int portNumber = 0;
    std::mutex lock;
    std::condition_variable ready;
    EventBatch queue;
    EventBatch taken;  // the reader's: what it took, and how far it has formatted
    size_t takenNext = 0;
    uint64_t dropped = 0;

    void Push(TraceKind kind, const uint8_t* data, size_t size) {
        std::lock_guard<std::mutex> guard(lock);
        const size_t before = queue.arena.size();
        if (before + size > kTraceQueueBytes) {
            ++dropped;
            return;
        }
        queue.events.push_back(Event{std::chrono::system_clock::now(), kind, before, size});
        queue.arena.append(reinterpret_cast<const char*>(data), size);
        // The reader waits for a first event, then for a batch to fill.
        if (queue.events.size() == 1 || (before < kBatchBytes && before + size >= kBatchBytes))
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
    EventBatch& taken = impl_->taken;
    size_t& next = impl_->takenNext;
    if (next == taken.events.size()) {
        taken.Clear();
        next = 0;
        std::unique_lock<std::mutex> lock(impl_->lock);
        const EventBatch& queue = impl_->queue;
        if (impl_->ready.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&queue] { return !queue.events.empty(); })) {
            impl_->ready.wait_for(lock, kBatchDelay,
                                  [&queue] { return queue.arena.size() >= kBatchBytes; });
        }
        std::swap(taken, impl_->queue);
    }
    // About a batch's worth a call, so the text stays small enough to be
    // sent from the processor's cache, whatever the queue held.
    const size_t first = next;
    size_t budget = kBatchBytes;
    CTimestamps timestamps;
    std::string prefix;
    for (; next < taken.events.size() && budget != 0; ++next) {
        const Event& e = taken.events[next];
        budget -= e.size < budget ? e.size : budget;
        const char* bytes = taken.arena.data() + e.offset;
        if (raw) {
            if (e.kind != TraceKind::Note) out->append(bytes, e.size);
            continue;
        }
        prefix = timestamps.Of(e.when);
        switch (e.kind) {
            case TraceKind::ToPort:
            case TraceKind::ToClient:
                prefix += e.kind == TraceKind::ToPort ? " client>port " : " port>client ";
                AppendHexDump(out, prefix, reinterpret_cast<const uint8_t*>(bytes), e.size);
                break;
            case TraceKind::Note:
                out->append(prefix).append(" -- ").append(bytes, e.size).append(1, '\n');
                break;
        }
    }
    return next != first;
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
    // Pushed under the list's lock: a trace leaves the list, under the same
    // lock, before it goes, and a push never waits for a reader.
    Traces& t = TheTraces();
    std::lock_guard<std::mutex> lock(t.lock);
    for (const auto& weak : t.byPort[portNumber])
        if (auto trace = weak.lock()) trace->Push(kind, data, size);
}

void TraceNote(int portNumber, const std::string& text) {
    TraceEvent(portNumber, TraceKind::Note, reinterpret_cast<const uint8_t*>(text.data()),
               text.size());
}

// Built by hand, a line at a time, rather than with a formatted print per
// byte: a trace of a port at full speed formats megabytes, on the same
// processors as the sessions.
void AppendHexDump(std::string* out, const std::string& prefix, const uint8_t* data, size_t size) {
    static const char kHex[] = "0123456789abcdef";
    out->reserve(out->size() + (size + 15) / 16 * (prefix.size() + 79));
    // offset (8) and two blanks, 16 x 3 + 1, " |", 16, "|\n".
    char line[8 + 2 + 49 + 2 + 16 + 2];
    for (size_t at = 0; at < size; at += 16) {
        const size_t n = size - at < 16 ? size - at : 16;
        const uint8_t* bytes = data + at;
        char* p = line;
        for (int shift = 28; shift >= 0; shift -= 4) *p++ = kHex[(at >> shift) & 0xF];
        *p++ = ' ';
        *p++ = ' ';
        for (size_t i = 0; i < 16; ++i) {
            p[0] = i < n ? kHex[bytes[i] >> 4] : ' ';
            p[1] = i < n ? kHex[bytes[i] & 0xF] : ' ';
            p[2] = ' ';
            p += 3;
            if (i == 7) *p++ = ' ';
        }
        *p++ = ' ';
        *p++ = '|';
        for (size_t i = 0; i < n; ++i)
            *p++ = bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.';
        *p++ = '|';
        *p++ = '\n';
        out->append(prefix).append(line, static_cast<size_t>(p - line));
    }
}

}  // namespace tovl
