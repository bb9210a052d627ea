#include "audio/pipewire/cycle_clock.h"

#include <algorithm>
#include <cmath>

namespace lumvar::audio::pipewire {

CycleStamp CycleClock::stamp(const CycleReport& report, std::uint32_t frames) {
    CycleStamp stamp;
    if (frames > 0 && report.rateNum > 0 && report.rateDenom > 0) {
        const double tickNanos = 1e9 * report.rateNum / report.rateDenom;
        const double ticksPerFrame = static_cast<double>(report.rateDenom) / report.rateNum / rate_;
        const auto ticks = static_cast<std::uint64_t>(std::llround(frames * ticksPerFrame));
        // The graph's clock moved on by one cycle: the length of this buffer or of the previous one (a
        // stream's first buffers may be short while its converter fills, and a new quantum shows in one
        // of the two). Further than both, and the graph skipped cycles whose frames are lost.
        const std::uint64_t cycle = std::max(ticks, lastTicks_);
        if (cycled_ && report.ticks > lastCycle_ + cycle + 1 + cycle / 50)
            position_ += static_cast<std::uint64_t>(
                std::llround(static_cast<double>(report.ticks - lastCycle_ - cycle) / ticksPerFrame));
        lastCycle_ = report.ticks;
        lastTicks_ = ticks;
        cycled_ = true;
        const double captured =
            static_cast<double>(report.now) -
            static_cast<double>(report.delay + static_cast<std::int64_t>(ticks)) * tickNanos -
            static_cast<double>(report.buffered) * 1e9 / rate_;
        stamp.capturedNanos = static_cast<std::uint64_t>(std::max(captured, 0.0));
    }
    stamp.position = position_;
    position_ += frames;
    return stamp;
}

}  // namespace lumvar::audio::pipewire
