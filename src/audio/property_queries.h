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

// The channels of each of the device's buffers in `scope`, in the order its IO cycles carry them.
std::vector<std::uint32_t> bufferChannels(AudioEnv& env, AudioObjectID device, FourCharCode scope);
std::int64_t channelCount(AudioEnv& env, AudioObjectID device, FourCharCode scope);
std::int64_t outputChannelCount(AudioEnv& env, AudioObjectID device);
std::int64_t inputChannelCount(AudioEnv& env, AudioObjectID device);

double nominalRate(AudioEnv& env, AudioObjectID object);
// A device's latency on one side, in frames at its nominal rate: the device's own in that scope, plus its
// first stream's of that side (a stream's latency lives in the global scope). The total is how long a
// frame takes between the device's side and its IO cycle's time stamp; the safety offset is not in it
// (it lies between the cycle's "now" and that stamp already). A part that cannot be read counts 0.
struct SideLatency {
    std::uint32_t device = 0;
    std::uint32_t stream = 0;
    std::uint32_t frames() const { return device + stream; }
    bool operator==(const SideLatency&) const = default;
};
SideLatency sideLatency(AudioEnv& env, AudioObjectID device, FourCharCode scope);
// The device's first stream of the side `scope` names; 0 when it has none.
AudioObjectID firstStream(AudioEnv& env, AudioObjectID device, FourCharCode scope);
// A frame count property of `object` in `scope`; nullopt when it cannot be read.
std::optional<std::uint32_t> frameProperty(AudioEnv& env, AudioObjectID object, FourCharCode selector,
                                           FourCharCode scope);
std::optional<AudioStreamBasicDescription> tapFormat(AudioEnv& env, AudioObjectID tap);

// A string property in the global scope; a failed read writes the check line with `label`,
// a null string is absent without a line.
std::optional<std::string> cfStringProp(AudioEnv& env, AudioObjectID object, FourCharCode selector,
                                        std::string_view label);

std::vector<AudioObjectID> allDeviceIDs(AudioEnv& env);

// The first device, in the platform's order, whose UID equals `uid`; 0 when none does.
AudioObjectID deviceIDForUID(AudioEnv& env, std::string_view uid);

}  // namespace lumvar::audio
