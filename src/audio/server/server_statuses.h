#pragma once

#include "audio/audio_properties.h"

namespace lumvar::audio::server {

// Statuses every sound-server backend shares, the platform's own codes (README lists them).
inline constexpr OSStatus kNoSuchDevice = kAudioHardwareBadObjectError;  // '!obj': gone, or never known
inline constexpr OSStatus kUnknownProperty = kAudioHardwareUnknownPropertyError;  // 'who?'
inline constexpr OSStatus kBadSize = kAudioHardwareBadPropertySizeError;          // '!siz'
inline constexpr OSStatus kBadDevice = kAudioHardwareBadDeviceError;       // '!dev': no such callback on it
inline constexpr OSStatus kIllegal = kAudioHardwareIllegalOperationError;  // 'nope'
// 'nmon': the sink offers no way to record what it plays (its "monitor" is a source of its own input).
inline constexpr OSStatus kNoMonitor = static_cast<OSStatus>(fourCC("nmon"));

}  // namespace lumvar::audio::server
