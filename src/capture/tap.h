#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "audio/audio_env.h"
#include "common/byte_sink.h"
#include "common/sleeper.h"
#include "common/uuid.h"

namespace lumvar::capture {

// The system source: a process tap carried by a private aggregate device, and the IO callback that
// turns the aggregate's buffers into the output sample stream while keeping the silence counters.
class Tap : public std::enable_shared_from_this<Tap> {
public:
    struct Counters {
        std::int64_t zeroFrames = 0;   // sample values in the current unbroken run of all-zero buffers
        std::int64_t totalFrames = 0;  // sample values since the last successful build
    };

    // The IO callback holds the Tap weakly, so a Tap must live in a shared_ptr.
    static std::shared_ptr<Tap> create(audio::AudioEnv env, ByteSink& stdoutHandle, Sleeper& sleeper,
                                       UuidSource& uuids);

    Tap(const Tap&) = delete;
    Tap& operator=(const Tap&) = delete;

    // Creates and starts the process tap, the aggregate device and the IO callback. Expects a torn-down
    // Tap. On failure it cleans up what it made, except a tap whose UID could not be read: that one
    // stays for the next teardown.
    bool build();

    // Stops and destroys whatever the Tap holds: callback, aggregate device, tap, in that order.
    void teardown();

    audio::AudioObjectID tapID() const { return tapID_; }
    audio::AudioObjectID aggID() const { return aggID_; }
    audio::AudioDeviceIOProcID ioProcID() const { return ioProcID_; }

    // Both counters, read in one critical section.
    Counters counters() const;
    void setCounters(Counters counters);  // for diagnostics and tests

    float scale() const { return scale_; }
    // Written by build while no callback is registered; the scratch grows here so the callback need not.
    void setScale(float scale);
    bool logged() const { return logged_.load(std::memory_order_relaxed); }

    // The callback for the aggregate device; it does nothing once the Tap is gone.
    static audio::AudioDeviceIOBlock callbackFor(std::weak_ptr<Tap> tap);

    // One IO cycle: the body of the callback. Real-time rules hold here: no allocation in the steady
    // state, no logging but the one-time layout diagnostic, the lock only around the two counter
    // updates, and one write of whole samples to standard output.
    void process(const audio::AudioBufferList* input);

private:
    Tap(audio::AudioEnv env, ByteSink& stdoutHandle, Sleeper& sleeper, UuidSource& uuids);

    void reconcileRates(audio::AudioObjectID device);
    void logTapFormat();
    void logLayout(const audio::AudioBufferList& input);
    float* scratchFor(std::size_t samples);

    audio::AudioEnv env_;
    Sleeper& sleeper_;
    UuidSource& uuids_;
    audio::AudioObjectID tapID_ = audio::kAudioObjectUnknown;
    audio::AudioObjectID aggID_ = audio::kAudioObjectUnknown;
    audio::AudioDeviceIOProcID ioProcID_ = nullptr;
    float scale_ = 1.0f;
    std::atomic<bool> logged_{false};  // may be read from a later build's IO thread
    mutable std::mutex lock_;
    Counters counters_;
    ByteSink& stdoutHandle_;
    std::vector<float> scratch_;  // the scaled samples of one cycle; touched only by the callback
};

}  // namespace lumvar::capture
