#pragma once

#include <memory>

#include "audio/platform_audio.h"

namespace lumvar::audio {

// The audio system of the platform this build is for (libpulse on Linux, Core Audio on macOS),
// connected and ready. Exactly one backend is linked into the helper.
std::unique_ptr<PlatformAudio> makePlatformAudio();

}  // namespace lumvar::audio
