#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>

#include "audio/audio_env.h"
#include "capture/call_part.h"
#include "capture/callback_gate.h"
#include "capture/sample_output.h"

namespace lumvar::capture {

// The input source: one audio device chosen by UID, whose frames reach the output stream as two
// channels, device channel 1 first and channel 0 second (a mono device doubled); or, as a call's
// microphone, a part of the call as one channel (the mean of channels 0 and 1).
class InputCapture {
  public:
    // The process and its controller share the capture.
    static std::shared_ptr<InputCapture> create(audio::AudioEnv env, SampleOutput& stdoutHandle);

    InputCapture(const InputCapture&) = delete;
    InputCapture& operator=(const InputCapture&) = delete;
    // Closes the callback's gate: the platform may hold the callback longer than the capture.
    ~InputCapture();

    // Captures the device whose UID equals `uid`: open() and run(). Expects an idle capture; on failure it
    // is idle again.
    bool start(std::string_view uid) { return open(uid) && run(); }
    // Finds the device and writes its line; a device without input channels is refused. On failure the
    // capture is idle again.
    bool open(std::string_view uid);
    // Starts the device open() found.
    bool run();
    // Starts again the device a stop() released, found by its UID (quietly: its id may be new).
    bool restart();
    // Main queue, while idle: where the frames go from the next start on, a call's part or (null) the
    // output stream.
    void feedCall(CallPart* part) { part_ = part; }

    // Stops and unregisters the callback, if any. Safe to call while idle.
    void stop();

    audio::AudioObjectID devID() const { return devID_; }
    audio::AudioDeviceIOProcID ioProcID() const { return ioProcID_; }
    bool running() const { return ioProcID_ != nullptr; }
    // The UID the running capture was started with, and the device's nominal rate at that moment (or
    // since the last rateChanged()).
    const std::string& uid() const { return uid_; }
    double rate() const { return rate_; }
    // Main queue: the device's nominal rate may have changed; a new rate begins a new segment.
    void rateChanged();
    // Main queue: the device's or its stream's latency may have changed; a change begins a segment.
    void latencyChanged() { placeFrames(false); }
    // IO callbacks since the last start, empty ones included; any thread.
    std::uint64_t ioCycles() const { return ioCycles_.load(std::memory_order_relaxed); }

  private:
    template <typename Source>
    friend audio::AudioDeviceIOBlock ioCallbackFor(Source& source, std::shared_ptr<CallbackGate> gate);

    // One IO cycle, on the device's IO thread: no allocation, lock or logging; whole frames straight
    // into the output ring (or dropped whole).
    void process(const audio::AudioBufferList* input, const audio::AudioTimeStamp* time,
                 const audio::AudioTimeStamp* now);
    // The capture times of the frames: when they entered the device, its input side's latency before
    // the cycle's stamp. Read at the start and again when the rate or the latency changes.
    void placeFrames(bool starting);

    InputCapture(audio::AudioEnv env, SampleOutput& stdoutHandle);

    audio::AudioEnv env_;
    audio::AudioObjectID devID_ = audio::kAudioObjectUnknown;
    audio::AudioDeviceIOProcID ioProcID_ = nullptr;
    std::shared_ptr<CallbackGate> gate_;  // the running callback's, new with each start
    std::string uid_;
    double rate_ = 0.0;
    std::int64_t latencyNanos_ = 0;
    std::atomic<std::uint64_t> ioCycles_{0};  // written by the IO thread alone while a callback runs
    SampleOutput& stdoutHandle_;              // the output sample stream
    CallPart* part_ = nullptr;                // or a call's part, set while idle
};

}  // namespace lumvar::capture
