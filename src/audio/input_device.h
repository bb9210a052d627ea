#pragma once

#include <cstdint>
#include <string>

namespace lumvar::audio {

// One input device as the parent sees it in the device-list message.
struct InputDevice {
    std::string uid;      // what the parent sends back in "INPUT <uid>"
    std::string name;     // the device's name, or its UID when the name is unreadable
    std::int64_t ch = 0;  // total input channels, at least 1
    bool isDefault = false;
};

}  // namespace lumvar::audio
