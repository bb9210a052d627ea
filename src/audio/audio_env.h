#pragma once

#include "audio/platform_audio.h"
#include "common/status_log.h"
#include "common/text.h"

namespace lumvar::audio {

// What the queries and engines reach out to: the audio system, standard error and the text rules.
struct AudioEnv {
    PlatformAudio& hw;
    StatusLog& log;
    const Text& text;
};

}  // namespace lumvar::audio
