// lumvar-capture: captures what the machine plays, or one input device, for the parent process that
// started it. Commands on standard input, samples on standard output, status lines on standard error.
#include <unistd.h>

#include "app/run_helper.h"

#if defined(__APPLE__)
#include "audio/coreaudio/core_audio.h"
using PlatformBackend = lumvar::audio::coreaudio::CoreAudio;
#else
#include "audio/pulse/pulse_audio.h"
using PlatformBackend = lumvar::audio::pulse::PulseAudio;
#endif

int main() {
    const pid_t parent = getppid();  // before connecting to the audio system, which may take a while
    lumvar::app::blockTerminationSignals();  // before any thread of the audio system exists
    static PlatformBackend audio;
    lumvar::app::runHelper(audio, parent);
}
