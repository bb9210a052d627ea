#pragma once

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "audio/audio_types.h"
#include "capture/segment_queue.h"

namespace lumvar::capture {

// How long `frames` take at `rate`, in nanoseconds; 0 at an unknown rate.
inline std::int64_t latencyNanos(std::uint32_t frames, double rate) {
    return rate > 0.0 ? std::llround(static_cast<double>(frames) / rate * 1e9) : 0;
}

// Decides, on the IO thread, which cycles' chunks begin a new segment of the output stream: the first
// after a source starts, the first after a jump in the device's own frame count (either way), the first
// after the source's rate or latency changed, and an anchor after every kAnchorFrames, so a parent can
// follow the device clock's drift. Holes left by dropped chunks are the output's to mark (SampleOutput).
//
// The main queue calls begin() only while no callback of the source can run (before its start), the
// same hand-off the output ring relies on; changeRate() and changeLatency() at any time. Everything else is
// the IO thread's: plain fields, no lock, no system call.
class SegmentTracker {
  public:
    static constexpr std::uint64_t kAnchorFrames = 480'000;  // 10 s at 48 kHz

    void begin(double rate, std::int64_t latencyNanos) {
        rate_.store(rate, std::memory_order_relaxed);
        latency_.store(latencyNanos, std::memory_order_relaxed);
        segmentRate_ = rate;
        latencyNanos_ = latencyNanos;
        due_ = true;
        anchor_ = jump_ = false;
        expectedSampleTime_.reset();
        framesInSegment_ = 0;
    }
    void changeRate(double rate) { rate_.store(rate, std::memory_order_relaxed); }
    void changeLatency(std::int64_t latencyNanos) { latency_.store(latencyNanos, std::memory_order_relaxed); }

    // --- the IO thread ---
    // One cycle of `deviceFrames` frames stamped `time` (may be null), delivered or not.
    void cycle(const audio::AudioTimeStamp* time, std::size_t deviceFrames) {
        const double rate = rate_.load(std::memory_order_relaxed);
        const std::int64_t latency = latency_.load(std::memory_order_relaxed);
        if (rate != segmentRate_ || latency != latencyNanos_) {
            segmentRate_ = rate;
            latencyNanos_ = latency;
            due_ = true;
            anchor_ = jump_ = false;
        }
        const bool sampleTimeValid =
            time != nullptr && (time->mFlags & audio::kAudioTimeStampSampleTimeValid) != 0;
        if (sampleTimeValid && expectedSampleTime_ &&
            std::fabs(time->mSampleTime - *expectedSampleTime_) >= 1.0) {
            jump_ = !due_ || anchor_;  // the clock alone began it
            due_ = true;
            anchor_ = false;
        }
        expectedSampleTime_ = sampleTimeValid
                                  ? std::optional(time->mSampleTime + static_cast<double>(deviceFrames))
                                  : std::nullopt;
        hostTimeValid_ = time != nullptr && (time->mFlags & audio::kAudioTimeStampHostTimeValid) != 0;
        hostTime_ = hostTimeValid_ ? time->mHostTime : 0;
    }
    // The next chunk begins a segment, whatever its stamp says.
    void restart() {
        due_ = true;
        anchor_ = jump_ = false;
        expectedSampleTime_.reset();
    }
    // Whether this cycle's chunk must begin a segment.
    bool due() const { return due_; }
    // The start of a segment whose first sample is the stream's `sample`, captured in this cycle.
    SegmentStart startAt(std::uint64_t sample) const {
        return {sample, segmentRate_, hostTime_, latencyNanos_, hostTimeValid_, anchor_, jump_};
    }
    // This cycle's chunk of `frames` stream frames went out, beginning a segment or not.
    void accepted(std::uint64_t frames, bool began) {
        if (began) {
            due_ = false;
            anchor_ = jump_ = false;
            framesInSegment_ = 0;
        }
        framesInSegment_ += frames;
        if (framesInSegment_ >= kAnchorFrames && !due_) due_ = anchor_ = true;
    }

  private:
    std::atomic<double> rate_{0.0};
    std::atomic<std::int64_t> latency_{0};
    double segmentRate_ = 0.0;
    std::int64_t latencyNanos_ = 0;
    bool due_ = false;
    bool anchor_ = false;  // due for the anchor count alone
    bool jump_ = false;    // due for a jump of the device's frame count alone
    std::optional<double> expectedSampleTime_;
    std::uint64_t framesInSegment_ = 0;
    std::uint64_t hostTime_ = 0;
    bool hostTimeValid_ = false;
};

}  // namespace lumvar::capture
