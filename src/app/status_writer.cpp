#include "app/status_writer.h"

#include <algorithm>
#include <string_view>

#include "common/number_format.h"

namespace lumvar::app {

namespace {

// Lines a parent cannot do without: the device list it asked for, and why the helper is about to exit.
bool alwaysKept(std::string_view line) {
    return line.starts_with("@DEVICES ") || line.starts_with("initial tap build failed");
}

// The lines that name the source of the segments after them: kept as segment lines are.
bool namesSource(std::string_view line) {
    return line == "  > system tap started\n" || line.starts_with("  > input capture started: ") ||
           line.starts_with("  > call capture started: ");
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
    item_.push_back({std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()), nullptr, {}});
    return true;
}

void StatusWriter::writeSegmentLine(std::string_view line, std::uint64_t frame, bool anchor,
                                    const std::function<void()>& written) {
    item_.push_back({std::string(line), written, Segment{.frame = frame, .anchor = anchor}});
}

void StatusWriter::endItem() {
    {
        std::lock_guard guard(mutex_);
        // Between items, once the parent has caught up: one line for the lines it missed.
        if (dropped_ > 0 && queue_.empty() && !writing_) {
            queue_.push_back({"  ! status backlog: dropped " + formatUnsigned(dropped_) +
                                  " lines - parent not reading stderr\n",
                              nullptr,
                              {}});
            queuedBytes_ += queue_.back().line.size();
            dropped_ = 0;
        }
        std::size_t bytes = 0;
        for (const Entry& entry : item_) bytes += entry.line.size();
        const bool fits = queuedBytes_ + bytes <= capacity_;
        for (Entry& entry : item_) {
            if (!entry.segment && namesSource(entry.line))
                entry.segment = Segment{.frame = 0, .anchor = false, .announcements = 0, .source = true};
            if (entry.segment) {
                queueSegment(std::move(entry));
                continue;
            }
            if (!fits && !alwaysKept(entry.line)) {
                ++dropped_;
                continue;
            }
            // Past the bound, only the newest device list waits: it says all that the older ones said.
            if (!fits && entry.line.starts_with("@DEVICES ")) dropOlderDeviceLists();
            queuedBytes_ += entry.line.size();
            queue_.push_back(std::move(entry));
        }
    }
    item_.clear();
    changed_.notify_all();
}

void StatusWriter::queueSegment(Entry entry) {
    if (queuedSegments_ >= kMaxSegmentLines) makeRoomForSegment(entry);
    ++queuedSegments_;
    queuedBytes_ += entry.line.size();
    queue_.push_back(std::move(entry));
}

// Room for one more line of the kept kinds, in this order of preference: the oldest waiting anchor goes;
// else a source line that another follows at once (no frame was its); else the oldest waiting segment
// line is merged into the next; else the oldest source line goes. An anchor's or a merged line's
// announcements go with the next segment line, which is written after it would have been.
void StatusWriter::makeRoomForSegment(Entry& incoming) {
    const auto start = [](const Entry& entry) { return entry.segment && !entry.segment->source; };
    const auto kept = [](const Entry& entry) { return entry.segment.has_value(); };
    const auto next = [&](std::deque<Entry>::iterator from, auto which) -> Entry* {
        const auto found = std::find_if(std::next(from), queue_.end(), which);
        if (found != queue_.end()) return &*found;
        return which(incoming) ? &incoming : nullptr;
    };
    auto gone = queue_.end();
    Entry* heir = nullptr;
    bool merge = false;
    for (auto entry = queue_.begin(); entry != queue_.end() && heir == nullptr; ++entry)
        if (start(*entry) && entry->segment->anchor && entry->segment->mergedStarts == 0 &&
            (heir = next(entry, start)) != nullptr)
            gone = entry;
    for (auto entry = queue_.begin(); entry != queue_.end() && gone == queue_.end(); ++entry) {
        const Entry* after = entry->segment && entry->segment->source ? next(entry, kept) : nullptr;
        if (after != nullptr && after->segment->source) gone = entry;
    }
    for (auto entry = queue_.begin(); entry != queue_.end() && gone == queue_.end(); ++entry)
        if (start(*entry) && (heir = next(entry, start)) != nullptr) gone = entry, merge = true;
    if (gone == queue_.end()) gone = std::find_if(queue_.begin(), queue_.end(), kept);
    if (heir != nullptr) {
        Segment& to = *heir->segment;
        const Segment& lost = *gone->segment;
        to.announcements += lost.announcements;
        if (merge) {
            to.mergedStarts += lost.mergedStarts + (lost.anchor ? 0 : 1);
            to.mergedFrom = lost.mergedStarts > 0 ? lost.mergedFrom : lost.frame;
        }
    }
    if (!merge) ++dropped_;
    queuedBytes_ -= gone->line.size();
    --queuedSegments_;
    queue_.erase(gone);
}

void StatusWriter::dropOlderDeviceLists() {
    for (auto entry = queue_.begin(); entry != queue_.end();) {
        if (entry->segment || !entry->line.starts_with("@DEVICES ")) {
            ++entry;
            continue;
        }
        ++dropped_;
        queuedBytes_ -= entry->line.size();
        entry = queue_.erase(entry);
    }
}

bool StatusWriter::writeOne() {
    Entry entry;
    {
        std::lock_guard guard(mutex_);
        if (queue_.empty()) return false;
        entry = std::move(queue_.front());
        queue_.pop_front();
        if (entry.segment) --queuedSegments_;
        writing_ = true;
    }
    // Each write may block for as long as the parent does not read; the output writer asks which one.
    const auto written = [this](std::string_view line) {
        inWrite_.store(++writes_, std::memory_order_release);
        out_.write(line);
        inWrite_.store(0, std::memory_order_release);
    };
    if (entry.segment && entry.segment->mergedStarts > 0)
        written("  ! segment lines merged: " + formatUnsigned(entry.segment->mergedStarts) +
                " starts between frames " + formatUnsigned(entry.segment->mergedFrom) + " and " +
                formatUnsigned(entry.segment->frame) + "\n");
    written(entry.line);
    if (entry.then)
        for (std::uint64_t i = 0; i < (entry.segment ? entry.segment->announcements : 1); ++i) entry.then();
    {
        std::lock_guard guard(mutex_);
        queuedBytes_ -= entry.line.size();
        writing_ = false;
    }
    changed_.notify_all();
    return true;
}

bool StatusWriter::drained() {
    std::lock_guard guard(mutex_);
    return queue_.empty() && !writing_;
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
