#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "audio/audio_env.h"
#include "capture/sample_output.h"

namespace lumvar::capture {

// The input source: one audio device chosen by UID, whose frames reach the output stream as two
// channels, device channel 1 first and channel 0 second (a mono device doubled).
class InputCapture : public std::enable_shared_from_this<InputCapture> {
public:
    // The IO callback holds the capture weakly, so it must live in a shared_ptr.
    static std::shared_ptr<InputCapture> create(audio::AudioEnv env, SampleOutput& stdoutHandle);

    InputCapture(const InputCapture&) = delete;
    InputCapture& operator=(const InputCapture&) = delete;

    // Captures the device whose UID equals `uid`. Expects an idle capture; on failure it is idle again.
    bool start(std::string_view uid);

    // Stops and unregisters the callback, if any. Safe to call while idle.
    void stop();

    audio::AudioObjectID devID() const { return devID_; }
    audio::AudioDeviceIOProcID ioProcID() const { return ioProcID_; }

    static audio::AudioDeviceIOBlock callbackFor(std::weak_ptr<InputCapture> capture);

    // One IO cycle, the body of the callback: allocation-free once the frame buffer has grown to the
    // device's buffer size, no lock, no logging, whole frames into the output ring (or dropped whole).
    void process(const audio::AudioBufferList* input);

private:
    InputCapture(audio::AudioEnv env, SampleOutput& stdoutHandle);

    float* framesFor(std::size_t frames);

    audio::AudioEnv env_;
    audio::AudioObjectID devID_ = audio::kAudioObjectUnknown;
    audio::AudioDeviceIOProcID ioProcID_ = nullptr;
    SampleOutput& stdoutHandle_;  // the output sample stream
    std::vector<float> frames_;  // the two-channel output of one cycle; touched only by the callback
};

}  // namespace lumvar::capture
