#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "audio/audio_env.h"
#include "capture/call_part.h"
#include "capture/callback_gate.h"
#include "capture/sample_output.h"
#include "capture/silence_counters.h"
#include "common/sleeper.h"
#include "common/uuid.h"

namespace lumvar::capture {

// The system source: a process tap carried by a private aggregate device, and the IO callback that
// turns the aggregate's buffers into the output sample stream while keeping the silence counters. In a
// call, the tap feeds the call's part for what plays instead (its two channels' mean), and on a platform
// whose aggregate can hold the microphone too, the aggregate carries it and feeds its part as well.
class Tap {
  public:
    using Counters = SilenceCount;

    // Where a call's tap sends its frames. With `micUID`, the aggregate holds that microphone as a
    // sub-device (resampled to the output's clock), whose frames go to `mic`.
    struct CallFeed {
        CallPart* system = nullptr;
        CallPart* mic = nullptr;
        std::string micUID;
    };

    // The process and its controller share the Tap.
    static std::shared_ptr<Tap> create(audio::AudioEnv env, SampleOutput& output, Sleeper& sleeper,
                                       UuidSource& uuids);

    Tap(const Tap&) = delete;
    Tap& operator=(const Tap&) = delete;
    // Closes the callback's gate: the platform may hold the callback longer than the tap.
    ~Tap();

    // Creates and starts the process tap, the aggregate device and the IO callback. Expects a torn-down
    // Tap. On failure it cleans up what it made, except a tap whose UID could not be read: that one
    // stays for the next teardown.
    bool build();

    // Stops and destroys whatever the Tap holds: callback, aggregate device, tap, in that order.
    void teardown();
    // Main queue, while torn down: a call's parts from the next build on, or (nullopt) the output stream.
    void feedCall(std::optional<CallFeed> feed) { feed_ = std::move(feed); }
    const std::optional<CallFeed>& callFeed() const { return feed_; }

    audio::AudioObjectID tapID() const { return tapID_; }
    audio::AudioObjectID aggID() const { return aggID_; }
    audio::AudioDeviceIOProcID ioProcID() const { return ioProcID_; }
    // Whether the callback runs (a build succeeded and no teardown has come since).
    bool running() const { return ioProcID_ != nullptr; }
    // The output device the running tap was built on (its aggregate's main device).
    audio::AudioObjectID outputDevice() const { return running() ? outputID_ : audio::kAudioObjectUnknown; }
    // The rate of the stream the running tap writes: its aggregate's nominal rate at the build, or since
    // the last rateChanged().
    double rate() const { return rate_; }
    // Main queue: the aggregate's nominal rate may have changed; a new rate begins a new segment.
    void rateChanged();
    // Main queue: the output device's latency or its stream's may have changed; a change begins a segment.
    void latencyChanged() { placeFrames(false); }
    // IO callbacks since the last build, empty ones included; any thread.
    std::uint64_t ioCycles() const { return ioCycles_.load(std::memory_order_relaxed); }

    // Both counters from the same update; any thread.
    Counters counters() const { return counters_.read(); }
    float scale() const { return scale_; }
    bool logged() const { return logged_.load(std::memory_order_relaxed); }

    // Main queue: writes the one-time layout diagnostic once the first cycle has kept it.
    void reportLayout();

  private:
    template <typename Source>
    friend audio::AudioDeviceIOBlock ioCallbackFor(Source& source, std::shared_ptr<CallbackGate> gate);

    // One IO cycle, on the aggregate device's IO thread. Real-time rules hold here: no allocation,
    // lock, log line or blocking call. The first cycle with data keeps the buffer layout for
    // reportLayout().
    void process(const audio::AudioBufferList* input, const audio::AudioTimeStamp* time,
                 const audio::AudioTimeStamp* now);
    // The capture times of the frames: when the output device plays them, its output side's latency after
    // the tap's stamp. Read at each build, and again when the rate or the latency changes.
    void placeFrames(bool building);

    // The layout of the first buffer list, as the IO thread saw it; the buffer lines beyond the
    // first kMaxBuffers are not kept.
    struct Layout {
        static constexpr std::size_t kMaxBuffers = 64;
        std::uint32_t count = 0;
        std::array<audio::AudioBuffer, kMaxBuffers> buffers{};
    };

    Tap(audio::AudioEnv env, SampleOutput& output, Sleeper& sleeper, UuidSource& uuids);

    bool tapKeepsLevel();
    double reconcileRates(audio::AudioObjectID device);  // the aggregate's rate
    // A microphone the aggregate is to hold must run at the output's rate; false when it cannot.
    bool matchMicRate(audio::AudioObjectID output);
    // Where the tap's and the microphone's buffers lie among the aggregate's; false when its buffers are
    // not its sub-devices' and then its tap's.
    bool findCallBuffers(audio::AudioObjectID output);
    void feedParts(const audio::AudioBufferList& input, const audio::AudioTimeStamp* time);
    void logTapFormat();
    void keepLayout(const audio::AudioBufferList& input);

    audio::AudioEnv env_;
    Sleeper& sleeper_;
    UuidSource& uuids_;
    audio::AudioObjectID tapID_ = audio::kAudioObjectUnknown;
    audio::AudioObjectID aggID_ = audio::kAudioObjectUnknown;
    audio::AudioDeviceIOProcID ioProcID_ = nullptr;
    std::shared_ptr<CallbackGate> gate_;  // the running callback's, new with each build
    audio::AudioObjectID outputID_ = audio::kAudioObjectUnknown;
    std::atomic<std::uint64_t> ioCycles_{0};  // written by the IO thread alone while a callback runs
    float scale_ = 1.0f;
    double rate_ = 0.0;
    std::int64_t latencyNanos_ = 0;
    std::atomic<bool> logged_{false};  // may be read from a later build's IO thread
    // For the field check's debug line: the first cycle's input time less its "now", in host ticks, and
    // where that line is: to be kept by the IO thread, kept, or written (once a build).
    std::atomic<std::int64_t> inputAfterNow_{0};
    enum Timing : int { kToKeep, kKept, kWritten };
    std::atomic<int> timing_{kToKeep};
    SilenceCounters counters_;
    SampleOutput& stdoutHandle_;                               // the output sample stream
    std::optional<CallFeed> feed_;                             // or a call's parts, set while torn down
    audio::AudioObjectID micID_ = audio::kAudioObjectUnknown;  // the microphone the aggregate holds
    std::uint32_t tapBuffer_ = 0;                              // the tap's buffer among the aggregate's
    std::uint32_t micFirst_ = 0;                               // the microphone's first buffer
    std::uint32_t micBuffers_ = 0;                             // and how many it has
    std::int64_t micLatencyNanos_ = 0;
    Layout layout_;  // written once by the IO thread before layoutKept_
    std::atomic<bool> layoutKept_{false};
};

}  // namespace lumvar::capture
