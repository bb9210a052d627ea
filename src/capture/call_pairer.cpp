#include "capture/call_pairer.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>

namespace lumvar::capture {

namespace {

// The control loop that steers the microphone's read position onto its place, on top of the ratio of the
// two parts' clocks that their lines give: a second-order loop (proportional and integral) of natural
// frequency 0.2 rad/s, critically damped, so that what the lines have yet to learn of a drift is
// followed with no lasting error, and the ratio moves slowly enough that a tone through it stays one
// (what it leaves of a sine fit over 100 ms stays below -60 dB).
constexpr double kProportional = 0.4;  // per second of error
constexpr double kIntegral = 0.04;     // per second of error, per second
// The steering never goes beyond this ratio: clocks of real devices differ by far less.
constexpr double kMaxCorrection = 0.01;
constexpr double kLagFading = 0.01;

bool allZero(std::span<const float> samples) {
    std::uint32_t any = 0;
    for (const float sample : samples) any |= std::bit_cast<std::uint32_t>(sample) << 1;
    return any == 0;
}

}  // namespace

CallPairer::CallPairer(CallPart& mic, CallPart& system, SampleOutput& output, double nanosPerTick,
                       std::function<std::uint64_t()> hostNow)
    : micPart_(mic),
      systemPart_(system),
      output_(output),
      nanosPerTick_(nanosPerTick),
      hostNow_(std::move(hostNow)) {
    mic_.history.resize(kHistory);
    system_.history.resize(kHistory);
    block_.resize(2 * kBlock);
}

void CallPairer::take(CallPart& part, Track& track) {
    SampleRing& ring = part.ring();
    while (const auto chunk = part.nextChunk()) {
        place(track, *chunk, part.rate(), part.latencyNanos());
        std::size_t frames = chunk->frames;
        if (frames > kHistory) {  // longer than the history: its newest frames
            ring.consume(frames - kHistory);
            track.end += frames - kHistory;
            track.first = track.end;
            frames = kHistory;
        }
        // The newest kHistory frames are kept; they move to the start of the storage once the newest
        // would pass its end.
        if (track.end + frames - track.first > kHistory) track.keepFrom(track.end + frames - kHistory);
        if (track.end + frames - track.storedAt > kHistory) {
            std::memmove(track.history.data(), track.at(track.first),
                         (track.end - track.first) * sizeof(float));
            track.storedAt = track.first;
        }
        for (std::size_t left = frames; left > 0;) {
            const auto readable = ring.readable();
            const std::size_t now = std::min(left, readable.size());
            std::memcpy(track.history.data() + (track.end - track.storedAt), readable.data(),
                        now * sizeof(float));
            ring.consume(now);
            track.end += now;
            left -= now;
        }
        // How long after their instant the part's frames arrive: the newest lag at once, an older longer
        // one fading over a few hundred chunks.
        if (track.placed) {
            const double lag = nowNanos_ - track.nanosAt(static_cast<double>(track.end));
            track.lag = lag >= track.lag ? lag : track.lag + (lag - track.lag) * kLagFading;
        }
        part.takeChunk();
    }
}

// Where a chunk's frames lie: a new run, rate or latency starts the part's line afresh; its stamp goes
// on it otherwise (which starts it afresh too when the part's clock jumped).
void CallPairer::place(Track& track, const CallPart::Chunk& chunk, double rate, std::int64_t latency) {
    const bool same =
        track.placed && chunk.run == track.run && rate == track.rate && latency == track.latency;
    const auto end = static_cast<double>(track.end);
    // A platform that stamps nothing: the frames of a run follow each other, the first at 0.
    if (!chunk.hostTimeValid && same) return;
    const double stamp = chunk.hostTimeValid ? static_cast<double>(chunk.hostTime) * nanosPerTick_ -
                                                   static_cast<double>(latency)
                                             : 0.0;
    if (same) {
        if (!track.line.add(end, stamp)) track.replaced = true;
        return;
    }
    track.run = chunk.run;
    track.rate = rate;
    track.latency = latency;
    track.placed = rate > 0.0;
    track.replaced = true;
    if (track.placed) track.line.start(rate, end, stamp);
}

bool CallPairer::pump() {
    nowNanos_ = static_cast<double>(hostNow_()) * nanosPerTick_;
    take(micPart_, mic_);
    take(systemPart_, system_);
    bool wrote = false;
    while (system_.placed && system_.end > std::max(systemNext_, system_.first) ? pairBlock() : micBlock())
        wrote = true;
    return wrote;
}

// The next block of what plays with the microphone beside it; false when it waits for the microphone.
bool CallPairer::pairBlock() {
    const bool gap = systemNext_ < system_.first;  // frames that went unpaired (the pairing fell behind)
    systemNext_ = std::max(systemNext_, system_.first);
    const std::size_t frames = std::min<std::uint64_t>(kBlock, system_.end - systemNext_);
    const double nanos = system_.nanosAt(static_cast<double>(systemNext_));
    const double seconds = static_cast<double>(frames) / system_.rate;
    if (mic_.placed) {
        const double target = mic_.frameAt(nanos);
        if (!micLocked_ || mic_.replaced || std::fabs(target - micPosition_) > kResyncSeconds * mic_.rate) {
            micPosition_ = target;
            integral_ = 0.0;
            step_ = system_.line.slope() / mic_.line.slope();
            micLocked_ = true;
            mic_.replaced = false;
        } else {
            steer(target, seconds);
        }
        // The microphone's frames of this block are not all here yet: they are waited for while the
        // microphone runs, until kWaitSeconds after they were captured (what plays may be placed well
        // ahead of now: a server's sink that renders far ahead of what it plays).
        const double last = micPosition_ + step_ * static_cast<double>(frames - 1);
        const auto needed = static_cast<std::int64_t>(std::floor(last)) + SincInterpolator::kHalf;
        if (needed >= static_cast<std::int64_t>(mic_.end) && mayCome(micPart_, mic_, nanos)) return false;
    } else if (mayCome(micPart_, mic_, nanos)) {
        return false;  // its first frames are on their way
    }
    const float* played = system_.at(systemNext_);
    for (std::size_t k = 0; k < frames; ++k) {
        float near = 0.0f;
        if (mic_.placed) {
            const double position = micPosition_ + step_ * static_cast<double>(k);
            const auto whole = static_cast<std::int64_t>(std::floor(position));
            const std::int64_t from = whole - SincInterpolator::kHalf + 1,
                               to = whole + SincInterpolator::kHalf;
            if (mic_.holds(from, to)) {
                near = sinc_.read(mic_.at(static_cast<std::uint64_t>(whole)),
                                  position - static_cast<double>(whole));
            } else if (from < static_cast<std::int64_t>(mic_.end) &&
                       to >= static_cast<std::int64_t>(mic_.first)) {
                // At an edge of what the microphone gave (its start, a gap): silence beyond it.
                std::array<float, SincInterpolator::kTaps> window{};
                for (std::int64_t frame = from; frame <= to; ++frame)
                    if (mic_.holds(frame, frame))
                        window[static_cast<std::size_t>(frame - from)] =
                            *mic_.at(static_cast<std::uint64_t>(frame));
                near = sinc_.read(window.data() + SincInterpolator::kHalf - 1,
                                  position - static_cast<double>(whole));
            }
        }
        block_[2 * k] = near;
        block_[2 * k + 1] = played[k];
    }
    const bool newSegment = gap || pace_ != Pace::System || system_.replaced;
    system_.replaced = false;
    pace_ = Pace::System;
    if (mic_.placed) micPosition_ += step_ * static_cast<double>(frames);
    systemNext_ += frames;
    system_.keepFrom(systemNext_);
    // The microphone's older frames stay a while: a placement that moves back finds them still there.
    const double oldest = std::floor(micPosition_) - SincInterpolator::kHalf - kKeepBehindSeconds * mic_.rate;
    if (oldest > 0.0) mic_.keepFrom(static_cast<std::uint64_t>(oldest));
    emit(frames, nanos, newSegment);
    return true;
}

// The microphone alone, while what plays is stopped or has stopped coming (nothing plays through a
// server that stops its sink then).
bool CallPairer::micBlock() {
    if (!mic_.placed) return false;
    const auto from = std::max<std::uint64_t>(
        mic_.first, pace_ == Pace::Mic ? static_cast<std::uint64_t>(micPosition_)
                                       : static_cast<std::uint64_t>(std::ceil(std::max(micPosition_, 0.0))));
    if (from >= mic_.end) return false;
    if (pace_ != Pace::Mic && mayCome(systemPart_, system_, mic_.nanosAt(static_cast<double>(from))))
        return false;
    const std::size_t frames = std::min<std::uint64_t>(kBlock, mic_.end - from);
    const float* near = mic_.at(from);
    for (std::size_t k = 0; k < frames; ++k) {
        block_[2 * k] = near[k];
        block_[2 * k + 1] = 0.0f;
    }
    const bool newSegment = pace_ != Pace::Mic || mic_.replaced;
    mic_.replaced = false;
    pace_ = Pace::Mic;
    micLocked_ = false;  // what plays, when it comes back, finds the microphone's place afresh
    micPosition_ = static_cast<double>(from + frames);
    mic_.keepFrom(from + frames);
    system_.keepFrom(system_.end);
    systemNext_ = system_.end;
    emit(frames, mic_.nanosAt(static_cast<double>(from)), newSegment);
    return true;
}

bool CallPairer::mayCome(const CallPart& part, const Track& track, double nanos) const {
    if (!part.active()) return false;
    const double first = part.run() != track.run ? kFirstWaitSeconds : kWaitSeconds;
    return nowNanos_ < nanos + std::max(track.lag, 0.0) + first * 1e9;
}

void CallPairer::steer(double target, double seconds) {
    const double error = (target - micPosition_) / mic_.rate;
    integral_ += error * seconds;
    const double correction =
        std::clamp(kProportional * error + kIntegral * integral_, -kMaxCorrection, kMaxCorrection);
    step_ = system_.line.slope() / mic_.line.slope() * (1.0 + correction);
}

void CallPairer::emit(std::size_t frames, double nanos, bool newSegment) {
    if (newSegment) output_.restartSegment();
    audio::AudioTimeStamp stamp;
    stamp.mSampleTime = sampleTime_;
    stamp.mHostTime = static_cast<std::uint64_t>(std::llround(std::max(nanos, 0.0) / nanosPerTick_));
    stamp.mFlags = audio::kAudioTimeStampSampleTimeValid | audio::kAudioTimeStampHostTimeValid;
    sampleTime_ += static_cast<double>(frames);
    output_.cycle(&stamp, frames);
    const std::span<const float> samples(block_.data(), 2 * frames);
    const auto room = output_.reserve(samples.size());
    if (!room) return output_.dropped(samples.size());
    std::copy_n(samples.begin(), room->first.size(), room->first.begin());
    std::copy(samples.begin() + static_cast<std::ptrdiff_t>(room->first.size()), samples.end(),
              room->second.begin());
    output_.commit(samples.size(), allZero(samples));
}

}  // namespace lumvar::capture
