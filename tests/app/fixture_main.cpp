// The helper linked with the scripted audio system, for tests that spawn a whole process. Unlike the
// real helper it reads its environment: LUMVAR_FIXTURE_FAIL_BUILD=1 makes the first tap build fail.
// A feeder thread delivers 10 ms of a 440 Hz tone every 10 ms to whatever callback is started.
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <vector>

#include "app/run_helper.h"
#include "audio/buffer_list.h"
#include "audio/scripted/scripted_audio.h"

using namespace lumvar;
using audio::ScriptedAudio;

int main() {
    app::blockTerminationSignals();  // before the feeder thread exists

    static ScriptedAudio hw;
    ScriptedAudio::Device speakers;
    speakers.uid = "speakers";
    speakers.name = "Speakers";
    speakers.outputStreams = {2};
    hw.setDefaultOutput(hw.addDevice(speakers));
    ScriptedAudio::Device mic;
    mic.uid = "mic";
    mic.name = "Desk Mic";
    mic.inputStreams = {2};
    hw.setDefaultInput(hw.addDevice(mic));
    hw.aggregateInitialRate = 48000.0;

    if (const char* fail = std::getenv("LUMVAR_FIXTURE_FAIL_BUILD"); fail != nullptr && std::string(fail) == "1")
        hw.inject({ScriptedAudio::Op::CreateProcessTap, std::nullopt, std::nullopt, -1});

    std::thread([] {
        std::vector<float> tone(480 * 2);
        for (std::size_t i = 0; i < tone.size(); ++i)
            tone[i] = 0.5f * std::sin(2.0f * 3.14159265f * 440.0f * static_cast<float>(i / 2) / 48000.0f);
        audio::BufferListStorage buffers(1);
        buffers.buffer(0) = {2, static_cast<std::uint32_t>(tone.size() * sizeof(float)), tone.data()};
        for (;;) {
            hw.deliverToStarted(buffers.list());
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }).detach();

    app::runHelper(hw);
}
