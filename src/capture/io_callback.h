#pragma once

#include <memory>

#include "audio/audio_types.h"
#include "capture/callback_gate.h"

namespace lumvar::capture {

// The IO block a source registers with the platform: it hands the input list to the source's
// process() through `gate`, which the source closes when it stops and when it is destroyed, so the
// block may outlive the source on the platform's side and still never reach it.
template <typename Source>
audio::AudioDeviceIOBlock ioCallbackFor(Source& source, std::shared_ptr<CallbackGate> gate) {
    return [&source, gate = std::move(gate)](const audio::AudioTimeStamp* now,
                                             const audio::AudioBufferList* input,
                                             const audio::AudioTimeStamp* inputTime, audio::AudioBufferList*,
                                             const audio::AudioTimeStamp*) {
        if (!gate->enter()) return;
        source.process(input, inputTime, now);
        gate->leave();
    };
}

}  // namespace lumvar::capture
