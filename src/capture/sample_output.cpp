#include "capture/sample_output.h"

#include <algorithm>

namespace lumvar::capture {

void SampleOutput::commit(std::size_t samples) {
    ring_.commit(samples);
    wake_.notify();
}

bool SampleOutput::write(std::span<const float> samples) {
    const auto region = ring_.reserve(samples.size());
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

bool SampleOutput::waitForWork(std::chrono::milliseconds timeout) {
    return wake_.waitUntil([this] { return !ring_.empty() || notice_.load(std::memory_order_acquire); },
                           timeout);
}

bool SampleOutput::takeNoticeDue() {
    const bool due = notice_.exchange(false, std::memory_order_acq_rel) ||
                     (ring_.empty() && dropped_.load(std::memory_order_relaxed) > 0);
    return due && !noticePosted_.exchange(true, std::memory_order_acq_rel);
}

std::uint64_t SampleOutput::acknowledge() {
    noticePosted_.store(false, std::memory_order_release);
    return dropped_.exchange(0, std::memory_order_relaxed);
}

}  // namespace lumvar::capture
