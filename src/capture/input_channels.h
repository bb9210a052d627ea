#pragma once

#include <algorithm>
#include <optional>
#include <span>

#include "audio/audio_types.h"

namespace lumvar::capture {

// Where one stream channel lies: every `stride`th float from `data`.
struct Channel {
    const float* data = nullptr;
    std::size_t stride = 1;
    float at(std::size_t frame) const { return data[frame * stride]; }
};

// The two channels a frame of the stream takes, device channel 1 first and channel 0 second (the order
// parents of this stream have always read input in; a mono device gives both the same sample), and
// how many whole frames the cycle holds. Nothing when the cycle holds no whole frame.
struct InputChannels {
    Channel first;
    Channel second;
    std::size_t frames = 0;
};

inline std::optional<InputChannels> inputChannelsOf(std::span<const audio::AudioBuffer> buffers) {
    const auto floats = [](const audio::AudioBuffer& buffer) { return buffer.mDataByteSize / sizeof(float); };
    const audio::AudioBuffer& zero = buffers[0];
    const auto* data0 = static_cast<const float*>(zero.mData);
    if (data0 == nullptr) return std::nullopt;
    if (buffers.size() == 1) {
        const std::size_t channels = zero.mNumberChannels;
        if (channels == 0 || channels > floats(zero)) return std::nullopt;
        const Channel channel0{data0, channels};
        return InputChannels{channels == 1 ? channel0 : Channel{data0 + 1, channels}, channel0,
                             floats(zero) / channels};
    }
    // Several buffers: channels 1 and 0 wherever they lie, each buffer with its own stride.
    const std::size_t stride0 = std::max<std::uint32_t>(zero.mNumberChannels, 1);
    const Channel channel0{data0, stride0};
    if (zero.mNumberChannels >= 2)
        return InputChannels{Channel{data0 + 1, stride0}, channel0, floats(zero) / stride0};
    const audio::AudioBuffer& one = buffers[1];
    const auto* data1 = static_cast<const float*>(one.mData);
    if (data1 == nullptr)
        return InputChannels{channel0, channel0, floats(zero) / stride0};  // as a mono device
    const std::size_t stride1 = std::max<std::uint32_t>(one.mNumberChannels, 1);
    return InputChannels{Channel{data1, stride1}, channel0,
                         std::min(floats(zero) / stride0, floats(one) / stride1)};
}

}  // namespace lumvar::capture
