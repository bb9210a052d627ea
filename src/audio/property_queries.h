#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/audio_env.h"

namespace lumvar::audio {

// Typed reads of the audio system. None caches and none passes a platform failure on: each maps it
// to its fallback (0, 0.0, an empty list or nullopt). Only defaultOutputDeviceID, cfStringProp and
// deviceIDForUID write failure lines.

AudioObjectID defaultOutputDeviceID(AudioEnv& env);
AudioObjectID defaultInputDeviceID(AudioEnv& env);

std::int64_t channelCount(AudioEnv& env, AudioObjectID device, FourCharCode scope);
std::int64_t outputChannelCount(AudioEnv& env, AudioObjectID device);
std::int64_t inputChannelCount(AudioEnv& env, AudioObjectID device);

double nominalRate(AudioEnv& env, AudioObjectID object);
// How long a frame takes from entering the device to reaching its IO callback, in frames: the input
// side's device latency and safety offset plus its first stream's latency; each part that cannot be
// read counts 0.
std::uint32_t inputLatencyFrames(AudioEnv& env, AudioObjectID device);
std::optional<AudioStreamBasicDescription> tapFormat(AudioEnv& env, AudioObjectID tap);

// A string property in the global scope; a failed read writes the check line with `label`,
// a null string is absent without a line.
std::optional<std::string> cfStringProp(AudioEnv& env, AudioObjectID object, FourCharCode selector,
                                        std::string_view label);

std::vector<AudioObjectID> allDeviceIDs(AudioEnv& env);

// The first device, in the platform's order, whose UID equals `uid`; 0 when none does.
AudioObjectID deviceIDForUID(AudioEnv& env, std::string_view uid);

}  // namespace lumvar::audio
