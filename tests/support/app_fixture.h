#pragma once

#include "app/parent_probe.h"
#include "support/audio_fixture.h"

namespace lumvar::testing {

struct FakeParent final : app::ParentProbe {
    bool gone = false;
    bool parentGone() override { return gone; }
};

// A scripted machine with speakers (the default output) and a stereo microphone.
struct MachineFixture : AudioFixture {
    AudioObjectID speakers = 0, mic = 0;
    FakeParent parent;
    void SetUp() override {
        hw.setDefaultOutput(speakers = addOutput(2, 48000.0, "speakers"));
        hw.setDefaultInput(mic = addInput("mic", "Desk Mic", {2}));
        hw.aggregateInitialRate = 48000.0;
    }
    // The lines the tap's build writes on this machine.
    static std::string buildLines() {
        return "  output device channels: 2, level correction x1.0\n"
               "  aggregate rate set -> 48000.0 (wanted 48000.0, tries 0)\n"
               "  rates: output=48000.0 aggregate=48000.0\n"
               "  tap format: rate=48000.0 ch=2 bytesPerFrame=8 framesPerPacket=1 flags=9\n";
    }
};

}  // namespace lumvar::testing
