#pragma once

#include <memory>

#include "audio/audio_types.h"

namespace lumvar::capture {

// The IO block a source registers with the platform: it holds the source weakly, so it never keeps a
// source alive and does nothing once the source is gone, and hands the input list to its process().
template <typename Source>
audio::AudioDeviceIOBlock ioCallbackFor(std::weak_ptr<Source> source) {
    return [source = std::move(source)](const audio::AudioTimeStamp*, const audio::AudioBufferList* input,
                                        const audio::AudioTimeStamp*, audio::AudioBufferList*,
                                        const audio::AudioTimeStamp*) {
        if (const auto self = source.lock()) self->process(input);
    };
}

}  // namespace lumvar::capture
