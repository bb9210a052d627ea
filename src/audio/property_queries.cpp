#include "audio/property_queries.h"

#include <cstring>
#include <memory>

#include "audio/audio_properties.h"
#include "audio/check.h"

namespace lumvar::audio {
namespace {

template <typename T>
OSStatus readValue(AudioEnv& env, AudioObjectID object, const AudioObjectPropertyAddress& address, T& value) {
    std::uint32_t size = sizeof(T);
    return env.hw.getPropertyData(object, address, size, &value);
}

AudioObjectID readDeviceID(AudioEnv& env, FourCharCode selector, OSStatus& status) {
    AudioObjectID id = kAudioObjectUnknown;
    status = readValue(env, kAudioObjectSystemObject, globalAddress(selector), id);
    return status == kAudioHardwareNoError ? id : kAudioObjectUnknown;
}

}  // namespace

AudioObjectID defaultOutputDeviceID(AudioEnv& env) {
    OSStatus status = 0;
    const AudioObjectID id = readDeviceID(env, kAudioHardwarePropertyDefaultOutputDevice, status);
    check(env.log, status, "get default output");
    return id;
}

AudioObjectID defaultInputDeviceID(AudioEnv& env) {
    OSStatus status = 0;
    return readDeviceID(env, kAudioHardwarePropertyDefaultInputDevice, status);
}

std::vector<std::uint32_t> bufferChannels(AudioEnv& env, AudioObjectID device, FourCharCode scope) {
    const AudioObjectPropertyAddress address{kAudioDevicePropertyStreamConfiguration, scope,
                                             kAudioObjectPropertyElementMain};
    std::uint32_t size = 0;
    env.hw.getPropertyDataSize(device, address, size);
    if (size < sizeof(std::uint32_t)) return {};

    // Aligned storage for the list; the platform fills at most `size` bytes.
    const std::size_t words = (size + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
    auto storage = std::make_unique<std::max_align_t[]>(words);
    std::uint32_t filled = size;
    if (env.hw.getPropertyData(device, address, filled, storage.get()) != kAudioHardwareNoError) return {};

    const auto& list = *reinterpret_cast<const AudioBufferList*>(storage.get());
    // Never walk past what was filled, whatever mNumberBuffers claims.
    const std::size_t count =
        std::min<std::size_t>(list.mNumberBuffers, buffersWithin(std::min(filled, size)));
    std::vector<std::uint32_t> channels;
    for (const AudioBuffer& buffer : buffersOf(list).first(count)) channels.push_back(buffer.mNumberChannels);
    return channels;
}

std::int64_t channelCount(AudioEnv& env, AudioObjectID device, FourCharCode scope) {
    std::int64_t sum = 0;
    for (const std::uint32_t channels : bufferChannels(env, device, scope)) sum += channels;
    return sum;
}

std::optional<std::uint32_t> frameProperty(AudioEnv& env, AudioObjectID object, FourCharCode selector,
                                           FourCharCode scope) {
    std::uint32_t value = 0;
    if (readValue(env, object, {selector, scope, kAudioObjectPropertyElementMain}, value) !=
        kAudioHardwareNoError)
        return std::nullopt;
    return value;
}

AudioObjectID firstStream(AudioEnv& env, AudioObjectID device, FourCharCode scope) {
    AudioObjectID stream = kAudioObjectUnknown;
    const OSStatus status =
        readValue(env, device, {kAudioDevicePropertyStreams, scope, kAudioObjectPropertyElementMain}, stream);
    return status == kAudioHardwareNoError ? stream : kAudioObjectUnknown;
}

SideLatency sideLatency(AudioEnv& env, AudioObjectID device, FourCharCode scope) {
    SideLatency latency{frameProperty(env, device, kAudioDevicePropertyLatency, scope).value_or(0), 0};
    if (const AudioObjectID stream = firstStream(env, device, scope); stream != kAudioObjectUnknown)
        latency.stream =
            frameProperty(env, stream, kAudioStreamPropertyLatency, kAudioObjectPropertyScopeGlobal)
                .value_or(0);
    return latency;
}

std::int64_t outputChannelCount(AudioEnv& env, AudioObjectID device) {
    return channelCount(env, device, kAudioObjectPropertyScopeOutput);
}

std::int64_t inputChannelCount(AudioEnv& env, AudioObjectID device) {
    return channelCount(env, device, kAudioObjectPropertyScopeInput);
}

double nominalRate(AudioEnv& env, AudioObjectID object) {
    double rate = 0.0;
    if (readValue(env, object, globalAddress(kAudioDevicePropertyNominalSampleRate), rate) !=
        kAudioHardwareNoError)
        return 0.0;
    return rate;
}

std::optional<AudioStreamBasicDescription> tapFormat(AudioEnv& env, AudioObjectID tap) {
    AudioStreamBasicDescription format{};
    if (readValue(env, tap, globalAddress(kAudioTapPropertyFormat), format) != kAudioHardwareNoError)
        return std::nullopt;
    return format;
}

std::optional<std::string> cfStringProp(AudioEnv& env, AudioObjectID object, FourCharCode selector,
                                        std::string_view label) {
    StringRef string = nullptr;
    const OSStatus status = readValue(env, object, globalAddress(selector), string);
    if (!check(env.log, status, label)) return std::nullopt;
    if (string == nullptr) return std::nullopt;
    return env.hw.takeString(string);
}

std::vector<AudioObjectID> allDeviceIDs(AudioEnv& env) {
    const AudioObjectPropertyAddress address = globalAddress(kAudioHardwarePropertyDevices);
    std::uint32_t size = 0;
    if (env.hw.getPropertyDataSize(kAudioObjectSystemObject, address, size) != kAudioHardwareNoError)
        return {};
    const std::size_t count = size / sizeof(AudioObjectID);
    if (count == 0) return {};

    std::vector<AudioObjectID> ids(count, kAudioObjectUnknown);
    std::uint32_t room = static_cast<std::uint32_t>(count * sizeof(AudioObjectID));
    if (env.hw.getPropertyData(kAudioObjectSystemObject, address, room, ids.data()) != kAudioHardwareNoError)
        return {};
    return ids;  // entries a shorter answer did not fill stay 0
}

AudioObjectID deviceIDForUID(AudioEnv& env, std::string_view uid) {
    for (const AudioObjectID id : allDeviceIDs(env)) {
        StringRef string = nullptr;
        const OSStatus status = readValue(env, id, globalAddress(kAudioDevicePropertyDeviceUID), string);
        if (!check(env.log, status, "dev UID")) continue;
        if (string == nullptr) continue;
        if (env.text.equal(env.hw.takeString(string), uid)) return id;
    }
    return kAudioObjectUnknown;
}

}  // namespace lumvar::audio
