#include "audio/device_list.h"

#include "audio/aggregate_identity.h"
#include "audio/audio_properties.h"
#include "audio/devices_json.h"
#include "audio/property_queries.h"

namespace lumvar::audio {

std::vector<InputDevice> listInputDevices(AudioEnv& env) {
    const AudioObjectID defaultInput = defaultInputDeviceID(env);
    std::vector<InputDevice> devices;
    for (const AudioObjectID id : allDeviceIDs(env)) {
        const std::int64_t channels = inputChannelCount(env, id);
        if (channels < 1) continue;
        const auto uid = cfStringProp(env, id, kAudioDevicePropertyDeviceUID, "dev UID");
        if (!uid) continue;
        const std::string name = cfStringProp(env, id, kAudioObjectPropertyName, "dev name").value_or(*uid);
        // Both reads come first, so an excluded device's failing name read is still reported.
        if (env.text.startsWith(*uid, kAggregateUIDPrefix)) continue;
        if (env.text.equal(name, kAggregateName)) continue;
        devices.push_back({*uid, name, channels, id == defaultInput});
    }
    return devices;
}

std::set<AudioObjectID> otherDeviceIDs(AudioEnv& env) {
    std::set<AudioObjectID> ids;
    for (const AudioObjectID id : allDeviceIDs(env)) {
        // A device whose UID cannot be read may be one of ours on its way out; it cannot be used anyway.
        const auto uid = cfStringProp(env, id, kAudioDevicePropertyDeviceUID, "dev UID");
        if (uid && !env.text.startsWith(*uid, kAggregateUIDPrefix)) ids.insert(id);
    }
    return ids;
}

std::vector<InputDevice> emitDevices(AudioEnv& env) {
    std::vector<InputDevice> devices = listInputDevices(env);
    const auto json = devicesJson(devices, env.text);
    if (!json) {
        env.log.log("@DEVICES []");
        return {};
    }
    env.log.log("@DEVICES " + *json);
    return devices;
}

}  // namespace lumvar::audio
