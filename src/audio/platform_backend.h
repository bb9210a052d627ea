#pragma once

#include <memory>

#include "audio/platform_audio.h"

namespace lumvar::audio {

// The audio system of the platform this build is for, connected and ready: on macOS Core Audio; on
// Linux PipeWire natively where a PipeWire daemon answers, else libpulse (both backends are linked, and
// the choice is made at run time).
std::unique_ptr<PlatformAudio> makePlatformAudio();

}  // namespace lumvar::audio
