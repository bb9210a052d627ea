#pragma once

#include "audio/audio_properties.h"

namespace lumvar::audio::pulse {

// Statuses of the PulseAudio backend, four-character codes like the platform's own (README lists them).
inline constexpr OSStatus kNotConnected = static_cast<OSStatus>(fourCC("pcon"));  // no server reachable
inline constexpr OSStatus kTimedOut =
    static_cast<OSStatus>(fourCC("ptmo"));  // the server did not answer in time
inline constexpr OSStatus kStreamFailed =
    static_cast<OSStatus>(fourCC("pstr"));                               // a record stream could not start
inline constexpr OSStatus kNoSuchDevice = kAudioHardwareBadObjectError;  // '!obj': gone, or never known
inline constexpr OSStatus kUnknownProperty = kAudioHardwareUnknownPropertyError;  // 'who?'
inline constexpr OSStatus kBadSize = kAudioHardwareBadPropertySizeError;          // '!siz'
inline constexpr OSStatus kBadDevice = kAudioHardwareBadDeviceError;       // '!dev': no such callback on it
inline constexpr OSStatus kIllegal = kAudioHardwareIllegalOperationError;  // 'nope'

}  // namespace lumvar::audio::pulse
