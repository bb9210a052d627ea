#pragma once

#include <cstdint>
#include <cstring>
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
