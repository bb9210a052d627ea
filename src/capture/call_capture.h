#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "audio/audio_env.h"
#include "capture/call_pairer.h"
#include "capture/call_part.h"
#include "capture/input_capture.h"
#include "capture/tap.h"

namespace lumvar::capture {

// The call source: a microphone and what the machine plays, on one timeline. The system tap feeds the
// part for what plays; the microphone feeds its own part, through the tap's aggregate where the platform
// can hold both on one clock (Core Audio), or through the input capture on its own clock where it runs
// the two apart (a sound server, which converts the microphone to the call's rate). A thread of the
// call's own pairs the two into the output stream.
//
// Main queue only, but for the pairing thread, which it starts and joins.
class CallCapture {
  public:
    // The process and its controller share the call; it drives the shared tap and input capture.
    static std::shared_ptr<CallCapture> create(audio::AudioEnv env, Tap& tap, InputCapture& input,
                                               SampleOutput& output);
    CallCapture(const CallCapture&) = delete;
    CallCapture& operator=(const CallCapture&) = delete;
    ~CallCapture();

    // Starts a call with the microphone whose UID is `uid`, writing the microphone's line and the system
    // part's build lines. Where the parts run apart, a system part that cannot be built leaves the call
    // running without it (systemRunning() false; rebuildSystem() tries again). False, with nothing left
    // running, when the microphone cannot start or (on one clock) the whole call cannot.
    bool start(std::string_view uid);
    // Stops both parts and the pairing; the tap and the input capture feed the output stream again.
    void stop();
    bool running() const { return running_; }

    bool apart() const { return apart_; }
    const std::string& uid() const { return uid_; }
    // The microphone's own rate, as it was before the call asked it for the call's.
    double micRate() const { return micRate_; }
    // What plays: torn down and built again (its lines are the build's); whether it runs.
    bool rebuildSystem();
    bool systemRunning() const { return tap_.running(); }
    // The microphone is gone: its part stops, and its channel stays silent. On one clock the aggregate is
    // built again without it (its lines are the build's); returns whether what plays runs.
    bool dropMic();
    bool micRunning() const;
    // The microphone's device, while the call holds it.
    audio::AudioObjectID micDevice() const { return micRunning() ? micID_ : audio::kAudioObjectUnknown; }
    // Main queue: a nominal rate may have changed; a new rate of what plays is the call's new rate.
    void rateChanged();
    void latencyChanged();

  private:
    CallCapture(audio::AudioEnv env, Tap& tap, InputCapture& input, SampleOutput& output);
    bool buildSystem();
    bool startMic();
    // The microphone's rate as it was before the call.
    void restoreMicRate();
    // The rate the call runs at when what plays cannot be built: the default output's, else the
    // microphone's own.
    double fallbackRate();
    void pairUntilStopped();

    audio::AudioEnv env_;
    Tap& tap_;
    InputCapture& input_;
    SampleOutput& output_;
    WakeSignal wake_;
    std::unique_ptr<CallPart> micPart_;
    std::unique_ptr<CallPart> systemPart_;
    std::unique_ptr<CallPairer> pairer_;
    std::thread pairing_;
    std::atomic<bool> stopping_{false};
    bool running_ = false;
    bool apart_ = true;
    bool micLost_ = false;
    std::string uid_;
    audio::AudioObjectID micID_ = audio::kAudioObjectUnknown;
    double micRate_ = 0.0;
    double setRate_ = 0.0;  // the rate the call set the microphone to, if it did
    double rate_ = 0.0;     // the call's
};

}  // namespace lumvar::capture
