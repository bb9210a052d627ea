#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

#include "capture/call_part.h"
#include "capture/sample_output.h"
#include "capture/sinc_interpolator.h"
#include "capture/stamp_line.h"

namespace lumvar::capture {

// Pairs a call's two parts into the output stream: frame k carries, on the left, the microphone's value
// captured at the instant t_k and, on the right, what the machine played at t_k. What plays sets the
// pace: its frames go out one for one at its rate, and the microphone is read at the fractional position
// of each t_k, which a control loop moves at a slowly changing ratio, so that where the two run on
// different clocks the drift is followed without a step in the sound (and a part whose stamps jump is
// placed afresh). While nothing plays through a running system part the microphone sets the pace, with
// the right channel at zero; either part's absence gives its channel zeros.
//
// The pairing thread's alone: pump() takes what the parts hold and writes every frame it can pair. It
// allocates nothing after construction.
class CallPairer {
  public:
    // Frames each part keeps: 2.7 s at 48 kHz, several times kWaitSeconds.
    static constexpr std::size_t kHistory = 1 << 17;
    // How long one part's frames wait for the other's beyond when those usually come, before they go
    // without them; longer for the first frames of a part's run (a server may take that long to start a
    // stream on a sink that slept), so that a call begins paired where it can.
    static constexpr double kWaitSeconds = 0.3;
    static constexpr double kFirstWaitSeconds = 1.0;
    // How long the microphone's frames stay after they were read.
    static constexpr double kKeepBehindSeconds = 0.5;
    // Frames paired at a time: the control loop's step changes between blocks (2.7 ms at 48 kHz).
    static constexpr std::size_t kBlock = 128;
    // A microphone further than this from its place is put there at once instead of steered to it.
    static constexpr double kResyncSeconds = 0.005;

    // `nanosPerTick`: host ticks to nanoseconds (the part's stamps are host times); `hostNow`: the host
    // clock, which says how long a part's frames have been waited for.
    CallPairer(CallPart& mic, CallPart& system, SampleOutput& output, double nanosPerTick,
               std::function<std::uint64_t()> hostNow);

    bool pump();

  private:
    // A part as the pairer follows it: its frames (numbered from the first ever taken) and where they lie
    // in time.
    struct Track {
        std::vector<float> history;
        std::uint64_t storedAt = 0;  // the frame history[0] holds
        std::uint64_t first = 0;     // the oldest frame kept
        std::uint64_t end = 0;       // the frame after the newest
        std::uint32_t run = 0;
        bool placed = false;
        bool replaced = false;  // placed afresh since the pairing last looked
        double rate = 0.0;
        std::int64_t latency = 0;
        StampLine line;    // the part's clock as its stamps show it, drift included
        double lag = 0.0;  // how long after their instant its frames have been arriving

        double nanosAt(double frame) const { return line.nanosAt(frame); }
        double frameAt(double nanos) const { return line.frameAt(nanos); }
        const float* at(std::uint64_t frame) const { return history.data() + (frame - storedAt); }
        bool holds(std::int64_t from, std::int64_t to) const {  // frames from..to, both included
            return from >= static_cast<std::int64_t>(first) && to < static_cast<std::int64_t>(end);
        }
        void keepFrom(std::uint64_t frame) { first = std::clamp(frame, first, end); }
    };
    enum class Pace { None, System, Mic };

    void take(CallPart& part, Track& track);
    void place(Track& track, const CallPart::Chunk& chunk, double rate, std::int64_t latency);
    bool pairBlock();
    bool micBlock();
    void steer(double target, double seconds);
    // Whether the part's frames of the instant `nanos` may still come: it runs, and they have not been
    // waited for kWaitSeconds (kFirstWaitSeconds before the first of its run) past when its frames
    // have been arriving after their instants.
    bool mayCome(const CallPart& part, const Track& track, double nanos) const;
    void emit(std::size_t frames, double nanos, bool newSegment);

    CallPart& micPart_;
    CallPart& systemPart_;
    SampleOutput& output_;
    const double nanosPerTick_;
    std::function<std::uint64_t()> hostNow_;
    double nowNanos_ = 0.0;
    SincInterpolator sinc_;
    Track mic_;
    Track system_;
    Pace pace_ = Pace::None;
    std::uint64_t systemNext_ = 0;  // the system frame that goes out next
    double micPosition_ = 0.0;      // where the microphone is read for the next frame
    bool micLocked_ = false;        // micPosition_ follows the microphone's place (else: found afresh)
    double step_ = 1.0;
    double integral_ = 0.0;
    double sampleTime_ = 0.0;  // the output's own frame count, for its segment bookkeeping
    std::vector<float> block_;
};

}  // namespace lumvar::capture
