#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "audio/audio_properties.h"
#include "audio/platform_string.h"

namespace lumvar::audio {

// How the in-process backends answer a property read: the value's bytes into the caller's room,
// or '!siz' when the room is too small.
template <typename T>
OSStatus fillProperty(const T& value, std::uint32_t& ioSize, void* outData) {
    if (ioSize < sizeof(T) || outData == nullptr) return kAudioHardwareBadPropertySizeError;
    std::memcpy(outData, &value, sizeof(T));
    ioSize = sizeof(T);
    return kAudioHardwareNoError;
}

// A stream configuration: one buffer per entry of `channels`, with that many interleaved channels.
inline OSStatus fillStreams(std::span<const std::uint32_t> channels, std::uint32_t& ioSize, void* outData) {
    const auto count = static_cast<std::uint32_t>(channels.size());
    const std::size_t needed = bufferListSize(count);
    if (ioSize < needed || outData == nullptr) return kAudioHardwareBadPropertySizeError;
    std::memset(outData, 0, needed);
    auto* list = static_cast<AudioBufferList*>(outData);
    list->mNumberBuffers = count;
    for (std::uint32_t i = 0; i < count; ++i) buffersOf(*list, count)[i].mNumberChannels = channels[i];
    ioSize = static_cast<std::uint32_t>(needed);
    return kAudioHardwareNoError;
}

// A string property: a new reference that the caller owns and hands back through takeString().
inline OSStatus fillString(const std::string& text, std::uint32_t& ioSize, void* outData) {
    if (ioSize < sizeof(StringRef) || outData == nullptr) return kAudioHardwareBadPropertySizeError;
    const StringRef string = new PlatformString{text};
    return fillProperty(string, ioSize, outData);
}

// Takes back a string that fillString() handed out.
inline std::string takePlatformString(StringRef string) {
    std::string text = std::move(const_cast<PlatformString*>(string)->text);
    delete string;
    return text;
}

}  // namespace lumvar::audio
