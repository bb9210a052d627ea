#pragma once

#include "audio/audio_types.h"

namespace lumvar::audio {

inline constexpr FourCharCode kAudioObjectPropertyScopeGlobal = fourCC("glob");
inline constexpr FourCharCode kAudioObjectPropertyScopeInput = fourCC("inpt");
inline constexpr FourCharCode kAudioObjectPropertyScopeOutput = fourCC("outp");
inline constexpr std::uint32_t kAudioObjectPropertyElementMain = 0;

inline constexpr FourCharCode kAudioHardwarePropertyDevices = fourCC("dev#");
inline constexpr FourCharCode kAudioHardwarePropertyDefaultOutputDevice = fourCC("dOut");
inline constexpr FourCharCode kAudioHardwarePropertyDefaultInputDevice = fourCC("dIn ");
inline constexpr FourCharCode kAudioDevicePropertyDeviceUID = fourCC("uid ");
inline constexpr FourCharCode kAudioObjectPropertyName = fourCC("lnam");
inline constexpr FourCharCode kAudioDevicePropertyStreamConfiguration = fourCC("slay");
inline constexpr FourCharCode kAudioDevicePropertyNominalSampleRate = fourCC("nsrt");
inline constexpr FourCharCode kAudioDevicePropertyDeviceIsAlive = fourCC("livn");
inline constexpr FourCharCode kAudioDevicePropertyLatency = fourCC("ltnc");
inline constexpr FourCharCode kAudioDevicePropertySafetyOffset = fourCC("saft");
inline constexpr FourCharCode kAudioDevicePropertyStreams = fourCC("stm#");
inline constexpr FourCharCode kAudioStreamPropertyLatency = fourCC("ltnc");
inline constexpr FourCharCode kAudioDevicePropertyBufferFrameSize = fourCC("fsiz");
// The audio system's daemon started again: every object id, listener and cached state is void.
inline constexpr FourCharCode kAudioHardwarePropertyServiceRestarted = fourCC("srst");
inline constexpr FourCharCode kAudioTapPropertyUID = fourCC("tuid");
inline constexpr FourCharCode kAudioTapPropertyFormat = fourCC("tfmt");

// Properties of the system object that are this system's own, not Core Audio's; a platform without
// them answers kAudioHardwareUnknownPropertyError, which means "no".
// - Whether the platform's stereo process tap already carries the level that plays on a device of
//   more than two channels (UInt32, non-zero for yes), so that no level correction applies.
inline constexpr FourCharCode kLumvarTapKeepsLevel = fourCC("lvtk");
// - Whether the sound server can be reached (UInt32); listened to where the platform has a server.
inline constexpr FourCharCode kLumvarServerReachable = fourCC("lvsr");
// - Whether a call's two parts run apart (UInt32): what plays through a tap's aggregate and the
//   microphone through its own IO callback, each on its own clock, rather than both through one
//   aggregate that holds the microphone as a sub-device.
inline constexpr FourCharCode kLumvarCallPartsApart = fourCC("lvca");

inline constexpr OSStatus kAudioHardwareUnknownPropertyError = static_cast<OSStatus>(fourCC("who?"));
inline constexpr OSStatus kAudioHardwareBadObjectError = static_cast<OSStatus>(fourCC("!obj"));
inline constexpr OSStatus kAudioHardwareBadDeviceError = static_cast<OSStatus>(fourCC("!dev"));
inline constexpr OSStatus kAudioHardwareIllegalOperationError = static_cast<OSStatus>(fourCC("nope"));
inline constexpr OSStatus kAudioHardwareBadPropertySizeError = static_cast<OSStatus>(fourCC("!siz"));
inline constexpr OSStatus kAudioHardwareUnsupportedOperationError = static_cast<OSStatus>(fourCC("unop"));

// Format flags of packed native float samples (float | packed).
inline constexpr std::uint32_t kAudioFormatLinearPCM = fourCC("lpcm");
inline constexpr std::uint32_t kAudioFormatFlagsNativeFloatPacked = 9;

// The format of a stereo tap: packed, interleaved native 32-bit float.
inline constexpr AudioStreamBasicDescription stereoFloatFormat(double rate) {
    return {rate, kAudioFormatLinearPCM, kAudioFormatFlagsNativeFloatPacked, 8, 1, 8, 2, 32, 0};
}

inline constexpr AudioObjectPropertyAddress globalAddress(FourCharCode selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

}  // namespace lumvar::audio
