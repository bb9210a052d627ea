#include "audio/check.h"

#include <string>

#include "common/number_format.h"

namespace lumvar::audio {

bool check(StatusLog& log, OSStatus status, std::string_view label) {
    if (status == kAudioHardwareNoError) return true;
    std::string line = "  x ";
    line += label;
    line += " failed: ";
    line += formatInt(status);
    log.log(line);
    return false;
}

}  // namespace lumvar::audio
