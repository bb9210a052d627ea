#include "audio/pipewire/cycle_clock.h"

#include <algorithm>
#include <cmath>

namespace lumvar::audio::pipewire {

CycleStamp CycleClock::stamp(const CycleReport& report, std::uint32_t frames, std::uint32_t newerFrames) {
    CycleStamp stamp;
    if (frames > 0 && report.rateNum > 0 && report.rateDenom > 0) {
        const double tickNanos = 1e9 * report.rateNum / report.rateDenom;
        const double ticksPerFrame = static_cast<double>(report.rateDenom) / report.rateNum / rate_;
        const auto ticks = static_cast<std::uint64_t>(std::llround(frames * ticksPerFrame));
        // The report is of the cycle of the newest buffer taken with this one: this one's cycle was as
        // many ticks before it as the newer buffers hold.
        const auto newerTicks = static_cast<std::uint64_t>(std::llround(newerFrames * ticksPerFrame));
        const std::uint64_t at = report.ticks - std::min(newerTicks, report.ticks);
        // The graph's clock moved on by one cycle: the length of this buffer or of the previous one (a
        // stream's first buffers may be short while its converter fills, and a new quantum shows in one
        // of the two). Further than both, and the graph skipped cycles, or the report ran ahead (above).
        const std::uint64_t cycle = std::max(ticks, lastTicks_);
        const std::uint64_t slack = 1 + cycle / 50;
        if (pendingSkip_ > 0 && at + slack >= lastCycle_ + cycle) position_ += pendingSkip_;
        pendingSkip_ = 0;
        if (cycled_ && at > lastCycle_ + cycle + slack)
            pendingSkip_ = static_cast<std::uint64_t>(
                std::llround(static_cast<double>(at - lastCycle_ - cycle) / ticksPerFrame));
        lastCycle_ = at;
        lastTicks_ = ticks;
        cycled_ = true;
        const double captured =
            static_cast<double>(report.now) -
            static_cast<double>(report.delay + static_cast<std::int64_t>(newerTicks + ticks)) * tickNanos -
            static_cast<double>(report.buffered) * 1e9 / rate_;
        stamp.capturedNanos = static_cast<std::uint64_t>(std::max(captured, 0.0));
        const double placement = captured - static_cast<double>(position_ + pendingSkip_) * 1e9 / rate_;
        if (settled_ == 0) {
            settled_ = position_ + static_cast<std::uint64_t>(kSettleSeconds * rate_);
            placement_ = placement;
        } else if (position_ < settled_ && std::fabs(placement - placement_) > kPlacementNanos) {
            ++skew_;
            placement_ = placement;
        }
    }
    stamp.position = position_ + skew_;
    position_ += frames;
    return stamp;
}

}  // namespace lumvar::audio::pipewire
