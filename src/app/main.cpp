// lumvar-capture: captures what the machine plays, or one input device, for the parent process that
// started it. Commands on standard input, samples on standard output, status lines on standard error.
#include "app/run_helper.h"
#include "audio/pulse/pulse_audio.h"

int main() {
    lumvar::app::blockTerminationSignals();  // before the sound server's loop thread exists
    static lumvar::audio::pulse::PulseAudio audio;
    lumvar::app::runHelper(audio);
}
