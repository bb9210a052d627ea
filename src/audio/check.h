#pragma once

#include <string_view>

#include "audio/audio_types.h"
#include "common/status_log.h"

namespace lumvar::audio {

// True for status 0; otherwise writes "  x <label> failed: <status>" and returns false.
bool check(StatusLog& log, OSStatus status, std::string_view label);

}  // namespace lumvar::audio
