#include "capture/sample_output.h"

#include <algorithm>

namespace lumvar::capture {

std::optional<SampleRing::Region> SampleOutput::reserve(std::size_t samples) {
    // After a drop, wait for real room: a parent that falls behind then gets few long holes, not many
    // short ones, each with its line.
    if (recovering_) {
        if (ring_.capacity() - ring_.size() < ring_.capacity() / 4) return std::nullopt;
        recovering_ = false;
    }
    const bool begins = segments_.due() || afterDrop_;
    if (begins && starts_.full()) return std::nullopt;  // the chunk goes, never the segment start
    auto room = ring_.reserve(samples);
    if (room) beginsSegment_ = begins;
    return room;
}

void SampleOutput::commit(std::size_t samples, bool silent) {
    const bool mayWait = silent && !beginsSegment_ && quietWaiting_ < kQuietChunks;
    if (beginsSegment_) {
        // Queued before the samples are published, so the writer never sees them without their start.
        SegmentStart start = segments_.startAt(ring_.committedTotal());
        start.anchor = start.anchor && !afterDrop_;  // a hole is a start of its own
        start.jump = start.jump && !afterDrop_;
        starts_.push(start);
        afterDrop_ = false;
        if (holeOpen_.load(std::memory_order_relaxed)) holeOpen_.store(false, std::memory_order_release);
    }
    ring_.commit(samples);
    segments_.accepted(samples / kChannels, beginsSegment_);
    beginsSegment_ = false;
    // Every wake-up of the writer costs a system call here and a thread scheduled there; in silence,
    // which nobody hears late, most of them are saved.
    if (mayWait) {
        quietWaiting_ = wake_.notifyUnlessPatient() ? 0 : quietWaiting_ + 1;
    } else {
        quietWaiting_ = 0;
        wake_.notify();
    }
}

void SampleOutput::dropped(std::size_t samples) {
    afterDrop_ = true;
    recovering_ = true;
    // Open before counted: whoever sees the count sees the hole open until its segment start is queued.
    if (!holeOpen_.load(std::memory_order_relaxed)) holeOpen_.store(true, std::memory_order_relaxed);
    dropped_.fetch_add(samples, std::memory_order_release);
}

bool SampleOutput::write(std::span<const float> samples) {
    const auto region = reserve(samples.size());
    if (!region) {
        dropped(samples.size());
        return false;
    }
    std::copy_n(samples.begin(), region->first.size(), region->first.begin());
    std::copy(samples.begin() + static_cast<std::ptrdiff_t>(region->first.size()), samples.end(),
              region->second.begin());
    commit(samples.size());
    return true;
}

void SampleOutput::notice() {
    notice_.store(true, std::memory_order_release);
    wake_.notify();
}

bool SampleOutput::waitForWork(std::chrono::milliseconds timeout, bool patient) {
    return wake_.waitUntil([this] { return !ring_.empty() || notice_.load(std::memory_order_acquire); },
                           timeout, patient);
}

std::span<const float> SampleOutput::writable() {
    // The samples first: a start queued before them is then seen below.
    const std::span<const float> samples = ring_.readable();
    const std::uint64_t at = ring_.consumedTotal();
    for (auto next = starts_.nextToPass(); next; next = starts_.nextToPass()) {
        if (next->sample > at)
            return samples.first(std::min<std::uint64_t>(samples.size(), next->sample - at));
        if (!starts_.nextToPassAnnounced()) return {};
        starts_.passed();
    }
    return samples;
}

bool SampleOutput::heldAtSegment() const {
    const auto next = starts_.nextToPass();
    return next && next->sample == ring_.consumedTotal() && !starts_.nextToPassAnnounced();
}

bool SampleOutput::waitForSegmentLine(std::chrono::milliseconds timeout) {
    return wake_.waitUntil([this] { return !heldAtSegment() || noticeWaiting(); }, timeout);
}

void SampleOutput::passHeldSegment() {
    if (heldAtSegment()) starts_.passed();
}

bool SampleOutput::noticeWaiting() const {
    return notice_.load(std::memory_order_acquire) ||
           (!noticePosted_.load(std::memory_order_acquire) && !starts_.allQueued());
}

bool SampleOutput::takeNoticeDue() {
    const bool due = notice_.exchange(false, std::memory_order_acq_rel) || !starts_.allQueued() ||
                     (ring_.empty() && dropped_.load(std::memory_order_relaxed) > 0 &&
                      !holeOpen_.load(std::memory_order_acquire));
    return due && !noticePosted_.exchange(true, std::memory_order_acq_rel);
}

std::uint64_t SampleOutput::acknowledge() {
    noticePosted_.store(false, std::memory_order_release);
    const std::uint64_t dropped = dropped_.exchange(0, std::memory_order_acquire);
    if (dropped > 0 && holeOpen_.load(std::memory_order_acquire)) {
        // The last hole has no segment start yet: its line must come first; counted next time.
        dropped_.fetch_add(dropped, std::memory_order_relaxed);
        return 0;
    }
    return dropped;
}

void SampleOutput::announced() {
    starts_.announced();
    wake_.notify();
}

}  // namespace lumvar::capture
