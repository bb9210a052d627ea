#include "app/status_writer.h"

#include <algorithm>
#include <string_view>

#include "common/number_format.h"

namespace lumvar::app {

namespace {

// Lines a parent cannot do without: the device list it asked for, why the helper is about to exit,
// and where the samples it reads lie in time.
bool alwaysKept(std::string_view line) {
    return line.starts_with("@DEVICES ") || line.starts_with("initial tap build failed") ||
           line.starts_with("  segment: ");
}

}  // namespace

StatusWriter::StatusWriter(ByteSink& out, std::size_t capacity) : out_(out), capacity_(capacity) {}

StatusWriter::~StatusWriter() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard guard(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void StatusWriter::start() {
    thread_ = std::thread([this] { run(); });
}

bool StatusWriter::write(std::span<const std::byte> bytes) {
    item_.push_back({std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()), nullptr});
    return true;
}

void StatusWriter::whenWritten(const std::function<void()>& then) {
    item_.push_back({std::string(), then});
}

void StatusWriter::endItem() {
    {
        std::lock_guard guard(mutex_);
        // Between items, once the parent has caught up: one line for the lines it missed.
        if (dropped_ > 0 && queue_.empty() && !writing_) {
            queue_.push_back({"  ! status backlog: dropped " + formatUnsigned(dropped_) +
                                  " lines - parent not reading stderr\n",
                              nullptr});
            queuedBytes_ += queue_.back().line.size();
            dropped_ = 0;
        }
        std::size_t bytes = 0;
        for (const Entry& entry : item_) bytes += entry.line.size();
        const bool fits = queuedBytes_ + bytes <= capacity_;
        for (Entry& entry : item_) {
            if (!fits && !entry.then && !alwaysKept(entry.line)) {
                ++dropped_;
                continue;
            }
            queuedBytes_ += entry.line.size();
            queue_.push_back(std::move(entry));
        }
    }
    item_.clear();
    changed_.notify_all();
}

bool StatusWriter::writeOne() {
    Entry entry;
    {
        std::lock_guard guard(mutex_);
        if (queue_.empty()) return false;
        entry = std::move(queue_.front());
        queue_.pop_front();
        writing_ = true;
    }
    if (!entry.line.empty()) out_.write(entry.line);  // may block for as long as the parent does not read
    if (entry.then) entry.then();
    {
        std::lock_guard guard(mutex_);
        queuedBytes_ -= entry.line.size();
        writing_ = false;
    }
    changed_.notify_all();
    return true;
}

void StatusWriter::pump() {
    while (writeOne()) {
    }
}

void StatusWriter::run() {
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) return;
        }
        pump();
    }
}

bool StatusWriter::finish(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return changed_.wait_until(lock, deadline, [this] { return queue_.empty() && !writing_; });
}

}  // namespace lumvar::app
