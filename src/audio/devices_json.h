#pragma once

#include <optional>
#include <string>
#include <vector>

#include "audio/input_device.h"
#include "common/text.h"

namespace lumvar::audio {

// The compact JSON array of the device-list message: keys "uid", "name", "ch", "default"; "/" written
// as "\/"; quotation mark, reverse solidus and control characters escaped; everything else as UTF-8.
// Absent when a text is not well-formed UTF-8.
std::optional<std::string> devicesJson(const std::vector<InputDevice>& devices, const Text& text);

}  // namespace lumvar::audio
