#include "audio/platform_audio.h"

#include <ctime>

namespace lumvar::audio {

std::uint64_t PlatformAudio::currentHostTime() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(now.tv_nsec);
}

}  // namespace lumvar::audio
