#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

namespace lumvar::audio::pulse {

// How a record stream places its frames in time, from the server's timing reports.

// A report as it arrived (pa_timing_info), in the fields the placing needs.
struct TimingReport {
    std::int64_t arrivedNanos = 0;  // CLOCK_MONOTONIC when it arrived
    std::uint64_t transportUsec = 0;
    std::int64_t writeIndexBytes = 0;
    std::uint64_t sourceUsec = 0;  // the source's latency
    std::uint64_t sinkUsec = 0;    // from a monitor: the monitored sink's latency
};

// A frame of the stream and when it was (or is) captured.
struct Reference {
    std::int64_t frame = 0;
    std::int64_t capturedNanos = 0;
};

// The report was taken on the server a transport delay before it arrived; the newest frame of the
// stream then (its write index) was captured the source's latency earlier, or, from a monitor, is
// played the sink's latency later.
inline Reference referenceOf(const TimingReport& report, std::uint32_t frameBytes) {
    const auto nanos = [](std::uint64_t usec) { return static_cast<std::int64_t>(usec) * 1000; };
    const std::int64_t taken = report.arrivedNanos - nanos(report.transportUsec);
    return {report.writeIndexBytes / static_cast<std::int64_t>(frameBytes),
            taken - nanos(report.sourceUsec) + nanos(report.sinkUsec)};
}

// Which report places the frames truest. A report that carries a latency (PulseAudio's sink latency of a
// monitor, a source's own) counts from the moment it was taken, but a sink that renders in blocks longer
// than its reader asks for (a player with a long buffer on a null sink) moves its index a block at a time
// while the latency it reports moves smoothly: such reports place the frames late by up to a block, never
// early, and the earliest of the recent ones is the truest. A report of no latency at all (PipeWire's pulse
// server) gives the index at the end of one of the server's cycles at some moment of the next, and so errs
// by up to a cycle, either way: the median of the recent reports is the truest. Old reports leave, so that
// a real change of the latency is followed within kReports reports.
class ReferenceFilter {
  public:
    static constexpr std::size_t kReports = 12;

    explicit ReferenceFilter(std::uint32_t rate = 48000) : rate_(rate) {}
    void add(const Reference& report, bool carriesLatency) {
        recent_[next_++ % kReports] = report;
        count_ = std::min(count_ + 1, kReports);
        latencies_ = carriesLatency;
    }
    // How early `reference` places the stream's frames: the capture time of its frame 0.
    std::int64_t offset(const Reference& reference) const {
        return reference.capturedNanos - reference.frame * 1'000'000'000 / static_cast<std::int64_t>(rate_);
    }
    std::optional<Reference> best() const {
        if (count_ == 0) return std::nullopt;
        std::array<Reference, kReports> sorted = recent_;
        const auto end = sorted.begin() + static_cast<std::ptrdiff_t>(count_);
        const auto pick =
            latencies_ ? sorted.begin() : sorted.begin() + static_cast<std::ptrdiff_t>(count_ / 2);
        std::nth_element(sorted.begin(), pick, end,
                         [this](const Reference& a, const Reference& b) { return offset(a) < offset(b); });
        return *pick;
    }

  private:
    std::uint32_t rate_;
    std::array<Reference, kReports> recent_{};
    std::size_t count_ = 0;
    std::size_t next_ = 0;
    bool latencies_ = false;
};

// When stream frame `position` was captured: at its distance in frames from the reference; before any
// report, at least the `frames` of its fragment before `nowNanos`, which they took to arrive.
inline std::int64_t capturedNanos(std::uint64_t position, const std::optional<Reference>& reference,
                                  std::uint32_t rate, std::int64_t nowNanos, std::uint64_t frames) {
    if (!reference) return nowNanos - static_cast<std::int64_t>(frames * 1'000'000'000u / rate);
    const std::int64_t distance = static_cast<std::int64_t>(position) - reference->frame;
    return reference->capturedNanos + distance * 1'000'000'000 / static_cast<std::int64_t>(rate);
}

// The frames of a hole of `holeFrames` that are delivered as silence: never more than the time since the
// previous delivery and 50 ms (an idle source's jump of its read index is not minutes of real silence).
inline std::uint64_t holeFramesToDeliver(std::uint64_t holeFrames, std::int64_t sinceDeliveryNanos,
                                         std::uint32_t rate) {
    const double seconds = static_cast<double>(std::max<std::int64_t>(sinceDeliveryNanos, 0)) / 1e9 + 0.05;
    return std::min(holeFrames, static_cast<std::uint64_t>(seconds * rate));
}

}  // namespace lumvar::audio::pulse
