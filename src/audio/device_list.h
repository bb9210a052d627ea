#pragma once

#include <set>
#include <vector>

#include "audio/audio_env.h"
#include "audio/input_device.h"

namespace lumvar::audio {

// Every device with input channels, in the platform's order, without this system's own aggregate
// devices. May write "dev UID" and "dev name" failure lines.
std::vector<InputDevice> listInputDevices(AudioEnv& env);

// The ids of every device in the platform's list except this system's own aggregate devices (UID
// prefix) and those whose UID cannot be read. May write "dev UID" failure lines.
std::set<AudioObjectID> otherDeviceIDs(AudioEnv& env);

// Writes "@DEVICES " + the JSON array + "\n" to standard error in one write ("@DEVICES []\n" when the
// list cannot be serialised). Returns the devices it listed.
std::vector<InputDevice> emitDevices(AudioEnv& env);

}  // namespace lumvar::audio
