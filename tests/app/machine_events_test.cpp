// How the process follows the machine: default devices that move, devices that die or stall, devices
// that come and go, all through the scripted backend's listeners and the queue's own clock.
#include <gtest/gtest.h>

#include "audio/audio_properties.h"
#include "support/app_fixture.h"

namespace lumvar::testing {

using namespace lumvar::audio;
using namespace std::chrono_literals;
using app::Mode;
using Op = ScriptedAudio::Op;

struct MachineEvents : ControllerFixture {
    // The platform notifies; once the burst window has passed, the main queue acts.
    void notify(std::initializer_list<std::pair<AudioObjectID, FourCharCode>> changes) {
        for (const auto& [object, selector] : changes) hw.fire(object, selector);
        now += app::DeviceWatch::kBurst;
        queue.runPending();
    }
    void notifyDefaultOutput() { notify({{kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice}}); }
    void notifyDeviceList() { notify({{kAudioObjectSystemObject, kAudioHardwarePropertyDevices}}); }
    void deliverTo(AudioObjectID device) {
        Buffers buffer({std::vector<float>(64, 0.1f)});
        hw.deliver(device, buffer.list());
    }
    // The watchdog tick at a moment of the test's choosing.
    void tickAt(app::MainQueue::Clock::duration since) {
        now = app::MainQueue::Clock::time_point{} + since;
        controller->watchdogTick();
    }

    bool startsWith(const std::string& text, const std::string& head) { return text.rfind(head, 0) == 0; }
    bool endsWith(const std::string& text, const std::string& tail) {
        return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
    }
};

TEST_F(MachineEvents, ANewDefaultOutputMovesTheSystemTapAndLeavesAnInputAlone) {
    const AudioObjectID headphones = addOutput(2, 44100.0, "headphones");
    hw.setDefaultOutput(headphones);
    notifyDefaultOutput();
    EXPECT_TRUE(startsWith(err.text(), "  ! default output changed - rebuilding\n"
                                       "  output device channels: 2, level correction x1.0\n"
                                       "  aggregate rate set -> 44100.0 (wanted 44100.0, tries 0)\n"))
        << err.text();
    EXPECT_TRUE(endsWith(err.text(), "  > tap rebuilt\n"));
    EXPECT_EQ(hw.aggregatesCreated().back().master, "headphones");
    EXPECT_EQ(hw.liveAggregates(), 1);

    err.clear();
    notifyDefaultOutput();  // told again, but nothing moved
    EXPECT_EQ(err.text(), "");

    command("INPUT mic");
    err.clear();
    hw.setDefaultOutput(speakers);
    notifyDefaultOutput();
    EXPECT_EQ(err.text(), "");
    EXPECT_TRUE(inputRunning());
}

TEST_F(MachineEvents, ADeadDeviceEndsItsSource) {
    hw.setAlive(speakers, false);  // the tap's clock device went away under it
    notify({{speakers, kAudioDevicePropertyDeviceIsAlive}});
    EXPECT_EQ(err.text(), "  ! tap stalled - rebuilding\n" + buildLines() + "  > tap rebuilt\n");
    hw.setAlive(speakers, true);

    command("INPUT mic");
    err.clear();
    hw.removeDevice(mic);  // unplugged
    notify({{mic, kAudioDevicePropertyDeviceIsAlive}, {kAudioObjectSystemObject, kAudioHardwarePropertyDevices}});
    EXPECT_TRUE(startsWith(err.text(), "  x input device lost: mic; restoring system\n" + buildLines()));
    EXPECT_EQ(controller->mode(), Mode::System);
    EXPECT_EQ(hw.liveAggregates(), 1);
    EXPECT_EQ(input->devID(), 0u);
    EXPECT_TRUE(endsWith(err.text(), "  ! input devices changed\n"));
}

TEST_F(MachineEvents, AFailedFallBackIsTriedAgainWhenTheMachineChanges) {
    command("INPUT mic");
    hw.inject({Op::CreateProcessTap, {}, {}, -1});
    err.clear();
    hw.setAlive(mic, false);
    notify({{mic, kAudioDevicePropertyDeviceIsAlive}});
    EXPECT_EQ(err.text(), "  x input device lost: mic; restoring system\n"
                          "  output device channels: 2, level correction x1.0\n"
                          "  x create tap failed: -1\n");
    EXPECT_EQ(controller->mode(), Mode::Input);  // as after any failed fall-back
    EXPECT_EQ(hw.startedIOProcs(), 0);

    err.clear();
    tickAt(10s);  // the watchdog does not retry on its own
    tickAt(20s);
    EXPECT_EQ(err.text(), "");

    hw.clearFaults();
    const AudioObjectID usb = addOutput(2, 48000.0, "usb-speakers");
    notifyDeviceList();
    EXPECT_EQ(err.text(), buildLines() + "  > system tap started\n");
    EXPECT_EQ(controller->mode(), Mode::System);
    EXPECT_TRUE(tapRunning());
    (void)usb;
}

TEST_F(MachineEvents, ASourceThatStopsDeliveringIsStalledAfterThreeSecondsNotBefore) {
    tickAt(2s);
    tickAt(30s);  // never delivered yet: waiting for something to play, not stalled
    EXPECT_EQ(err.text(), "");

    deliverTo(tap->aggID());
    tickAt(32s);  // sees it deliver
    tickAt(34900ms);
    EXPECT_EQ(err.text(), "");
    tickAt(35s);
    EXPECT_EQ(err.text(), "  ! tap stalled - rebuilding\n" + buildLines() + "  > tap rebuilt\n");

    command("INPUT mic");
    err.clear();
    deliverTo(mic);
    tickAt(40s);
    deliverTo(mic);
    tickAt(42s);  // still delivering
    tickAt(44s);
    EXPECT_EQ(err.text(), "");
    tickAt(45s);
    EXPECT_TRUE(startsWith(err.text(), "  x input device lost: mic; restoring system\n")) << err.text();
    EXPECT_EQ(controller->mode(), Mode::System);
}

TEST_F(MachineEvents, TheParentHearsOfInputDevicesOnlyWhenTheirSetChanges) {
    notifyDeviceList();  // nothing new
    EXPECT_EQ(err.text(), "");

    const AudioObjectID usb = addInput("usb-mic", "USB Mic", {1});
    addOutput(2, 48000.0, "hdmi");  // an output changes nothing the parent can pick
    notifyDeviceList();
    notifyDeviceList();
    EXPECT_EQ(err.text(), "  ! input devices changed\n");

    err.clear();
    hw.setDeviceList({usb, mic, speakers, tap->aggID()});  // the same set in another order
    notifyDeviceList();
    EXPECT_EQ(err.text(), "");

    hw.setDefaultInput(usb);
    notify({{kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice}});
    EXPECT_EQ(err.text(), "  ! input devices changed\n");
}

TEST_F(MachineEvents, TheListenersFollowTheDevicesInUse) {
    EXPECT_EQ(hw.liveListeners(), 3 + 2);  // list and defaults; the output device and the aggregate
    command("INPUT mic");
    EXPECT_EQ(hw.liveListeners(), 3 + 1);
    command("SYSTEM");
    EXPECT_EQ(hw.liveListeners(), 3 + 2);
    EXPECT_EQ(hw.fire(speakers, kAudioDevicePropertyDeviceIsAlive), 1);
}

TEST_F(MachineEvents, TheParentHearsOnceWhenTheSoundServerGoesAndOnceWhenItComesBack) {
    watch.stop();
    hw.serverReachable = 1;  // a platform with a server says whether it can reach it
    controller->startWatching();
    const auto server = std::pair{kAudioObjectSystemObject, kLumvarServerReachable};
    hw.serverReachable = 0;
    notify({server});
    notify({server});
    hw.serverReachable = 1;
    notify({server});
    EXPECT_EQ(err.text(), "  x sound server unreachable\n  > sound server back\n");
}

TEST_F(MachineEvents, InputReportsItsRateAndRefusesAnOutputOnlyDevice) {
    command("INPUT mic");
    EXPECT_EQ(err.text(), "  input device 'Desk Mic' channels: 2\n"
                          "  > input capture started: mic\n"
                          "  input device rate: 48000.0\n");

    err.clear();
    command("INPUT speakers");
    EXPECT_EQ(err.text(), "  input device 'Speakers' channels: 0\n"
                          "  x input device has no input channels: speakers\n"
                          "  x input start failed; restoring system\n" +
                              buildLines());
    EXPECT_EQ(controller->mode(), Mode::System);
}

}  // namespace lumvar::testing
