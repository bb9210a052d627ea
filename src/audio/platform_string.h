#pragma once

#include <string>

#include "audio/audio_types.h"

namespace lumvar::audio {

// What a StringRef points at in the backends that have no string type of their own.
struct PlatformString {
    std::string text;
};

}  // namespace lumvar::audio
