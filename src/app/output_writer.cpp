#include "app/output_writer.h"

namespace lumvar::app {

OutputWriter::OutputWriter(capture::SampleOutput& output, ByteSink& sink, std::function<void()> onNotice)
    : output_(output), sink_(sink), onNotice_(std::move(onNotice)) {}

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
    while (!stopping_.load()) {
        output_.waitForWork(std::chrono::hours(1));
        if (!stopping_.load()) pump();
    }
}

void OutputWriter::pump() {
    for (auto samples = output_.readable(); !samples.empty(); samples = output_.readable()) {
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
    if (failed_.load(std::memory_order_relaxed)) return false;
    std::unique_lock lock(mutex_);
    return drained_.wait_until(lock, deadline, [this] {
        return output_.empty() || failed_.load(std::memory_order_relaxed);
    }) && !failed_.load(std::memory_order_relaxed);
}

}  // namespace lumvar::app
