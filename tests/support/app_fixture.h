#pragma once

#include <optional>

#include "app/controller.h"
#include "app/parent_probe.h"
#include "support/audio_fixture.h"

namespace lumvar::testing {

struct FakeParent final : app::ParentProbe {
    bool gone = false;
    bool parentGone() override { return gone; }
};

// A scripted machine with speakers (the default output) and a stereo microphone.
struct MachineFixture : AudioFixture {
    AudioObjectID speakers = 0;
    AudioObjectID mic = 0;
    FakeParent parent;

    void SetUp() override {
        speakers = addOutput(2, 48000.0, "speakers");
        mic = addInput("mic", "Desk Mic", {2});
        hw.setDefaultOutput(speakers);
        hw.setDefaultInput(mic);
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

// A controller on that machine, with the machine already capturing what it plays.
struct ControllerFixture : MachineFixture {
    std::shared_ptr<capture::Tap> tap = capture::Tap::create(env, out, sleeper, uuids);
    std::shared_ptr<capture::InputCapture> input = capture::InputCapture::create(env, out);
    app::MainQueue::Clock::time_point now{};
    app::MainQueue queue{[this] { return now; }};
    app::DeviceWatch watch{hw, queue};
    std::vector<int> exits;
    std::optional<app::Controller> controller;

    void SetUp() override {
        MachineFixture::SetUp();
        controller.emplace(app::Controller::Deps{.env = env,
                                            .tap = tap,
                                            .input = input,
                                            .parent = parent,
                                            .watch = watch,
                                            .now = [this] { return now; },
                                            .ending = nullptr,
                                            .exit = [this](int status) { exits.push_back(status); }});
        ASSERT_TRUE(tap->build());
        controller->listDevices();
        controller->startWatching();
        err.clear();
    }
    // Every test ends as the process does, with nothing of the audio system left behind.
    void TearDown() override {
        controller->terminate();
        expectNothingLeaked();
    }

    void command(std::string_view line) { controller->handle(*app::parseCommand(line, platformText())); }
    bool tapRunning() const { return hw.liveAggregates() == 1 && hw.startedIOProcs() == 1 && input->devID() == 0; }
    bool inputRunning() const { return hw.liveAggregates() == 0 && input->devID() == mic; }
};

}  // namespace lumvar::testing
