#pragma once

#include "audio/audio_properties.h"

namespace lumvar::audio::server {

// Statuses every sound-server backend shares, the platform's own codes (README lists them).
inline constexpr OSStatus kNoSuchDevice = kAudioHardwareBadObjectError;  // '!obj': gone, or never known
inline constexpr OSStatus kUnknownProperty = kAudioHardwareUnknownPropertyError;  // 'who?'
inline constexpr OSStatus kBadSize = kAudioHardwareBadPropertySizeError;          // '!siz'
inline constexpr OSStatus kBadDevice = kAudioHardwareBadDeviceError;       // '!dev': no such callback on it
inline constexpr OSStatus kIllegal = kAudioHardwareIllegalOperationError;  // 'nope'

}  // namespace lumvar::audio::server
