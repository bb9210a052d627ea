#include "app/output_writer.h"

namespace lumvar::app {

OutputWriter::OutputWriter(capture::SampleOutput& output, ByteSink& sink, std::function<void()> onNotice,
                           StatusProgress* status)
    : output_(output), sink_(sink), onNotice_(std::move(onNotice)), status_(status) {}

OutputWriter::~OutputWriter() {
    if (!thread_.joinable()) return;
    stopping_.store(true);
    output_.notice();  // wakes the thread
    thread_.join();
}

void OutputWriter::start() {
    thread_ = std::thread([this] { run(); });
}

void OutputWriter::run() {
    constexpr std::uint64_t kNone = ~std::uint64_t{0};
    std::uint64_t held = kNone;  // the segment waited for, since when, and standard error's write then
    auto heldSince = std::chrono::steady_clock::now();
    std::uint64_t heldDuring = 0;
    std::uint64_t lastSeen = output_.committedTotal();
    while (!stopping_.load()) {
        pump();
        if (stopping_.load()) break;
        if (!output_.heldAtSegment()) {
            held = kNone;
            // Patient while samples come; once a patient wait has seen none, until woken: a stream
            // that stops gets its last silent chunk out within kQuietWait, and then the writer sleeps.
            const std::uint64_t seen = output_.committedTotal();
            const bool flowing = seen != lastSeen;
            lastSeen = seen;
            output_.waitForWork(flowing ? kQuietWait : std::chrono::hours(1), flowing);
            continue;
        }
        if (held != output_.heldSegment()) {
            held = output_.heldSegment();
            heldSince = std::chrono::steady_clock::now();
            heldDuring = status_ != nullptr ? status_->writeUnderWay() : 0;
        }
        if (skipping_ && status_->drained()) skipping_ = false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            heldSince + kLineWait - std::chrono::steady_clock::now());
        if (ending_.load()) {
            output_.waitForSegmentLine(std::chrono::hours(1));  // woken by the end of the drain
        } else if (skipping_) {
            lineWaitExpired();
        } else if (left.count() <= 0 || !output_.waitForSegmentLine(left)) {
            skipping_ = heldDuring != 0 && status_->writeUnderWay() == heldDuring;
            waitsRunOut_.fetch_add(1, std::memory_order_relaxed);
            lineWaitExpired();
        }
    }
}

void OutputWriter::lineWaitExpired() {
    if (!ending_.load()) output_.passHeldSegment();
}

void OutputWriter::pump() {
    for (auto samples = output_.writable(); !samples.empty(); samples = output_.writable()) {
        // After a failed write (a reader that went away) the samples are only let go.
        if (!failed_.load(std::memory_order_relaxed) && !sink_.write(std::as_bytes(samples)))
            failed_.store(true, std::memory_order_relaxed);
        output_.consume(samples.size());
    }
    {
        std::lock_guard guard(mutex_);  // finish() looks at the ring under this lock
    }
    drained_.notify_all();
    if (output_.takeNoticeDue() && onNotice_) onNotice_();
}

bool OutputWriter::finish(std::chrono::steady_clock::time_point deadline) {
    ending_.store(true);
    if (failed_.load(std::memory_order_relaxed)) return false;
    std::unique_lock lock(mutex_);
    drained_.wait_until(lock, deadline, [this] {
        return output_.empty() || output_.heldAtSegment() || failed_.load(std::memory_order_relaxed);
    });
    return output_.empty() && !failed_.load(std::memory_order_relaxed);
}

}  // namespace lumvar::app
