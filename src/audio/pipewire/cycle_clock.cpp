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
        if (cycled_ && report.ticks > expectedTicks_ + 1 + lastTicks_ / 50)
            position_ += static_cast<std::uint64_t>(
                std::llround(static_cast<double>(report.ticks - expectedTicks_) / ticksPerFrame));
        expectedTicks_ = report.ticks + ticks;
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
