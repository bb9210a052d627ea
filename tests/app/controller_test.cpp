// The controller on a scripted machine: commands and source switching, the watchdog, the machine's
// changes as its listeners report them, and every way the process ends.
#include "app/controller.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "audio/audio_properties.h"
#include "support/app_fixture.h"

namespace lumvar::testing {

using namespace lumvar::audio;
using namespace std::chrono_literals;
using app::Mode;
using Op = ScriptedAudio::Op;

// A controller on that machine, with the machine already capturing what it plays.
struct ControllerTest : MachineFixture {
    std::shared_ptr<capture::Tap> tap = capture::Tap::create(env, out, sleeper, uuids);
    std::shared_ptr<capture::InputCapture> input = capture::InputCapture::create(env, out);
    app::MainQueue::Clock::time_point now{};
    app::MainQueue queue{[this] { return now; }};
    app::DeviceWatch watch{hw, queue};
    std::vector<int> exits;
    std::optional<app::Controller> controller;
    void SetUp() override {
        MachineFixture::SetUp();
        controller.emplace(app::Controller::Deps{env, tap, input, parent, watch, [this] { return now; },
                                                 nullptr, [this](int status) { exits.push_back(status); }});
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
    bool tapRunning() const {
        return hw.liveAggregates() == 1 && hw.startedIOProcs() == 1 && input->devID() == 0;
    }
    bool inputRunning() const { return hw.liveAggregates() == 0 && input->devID() == mic; }
    bool has(const std::string& line) const { return err.text().find(line) != std::string::npos; }
    void silence(std::size_t samples) {
        hw.deliver(tap->aggID(), Buffers({std::vector<float>(samples, 0.0f)}).list());
    }
    // The platform notifies; once the burst window has passed, the main queue acts.
    void notify(std::initializer_list<std::pair<AudioObjectID, FourCharCode>> changes) {
        for (const auto& [object, selector] : changes) hw.fire(object, selector);
        now += app::DeviceWatch::kBurst;
        queue.runPending();
    }
    void notifySystem(FourCharCode selector) { notify({{kAudioObjectSystemObject, selector}}); }
    void tickAt(app::MainQueue::Clock::duration since) {
        now = app::MainQueue::Clock::time_point{} + since;
        controller->watchdogTick();
    }
    std::string failedBuild() const {
        return "  output device channels: 2, level correction x1.0\n  x create tap failed: -1\n";
    }
};

TEST_F(ControllerTest, SystemRestartsTheTapAndAFailedBuildLeavesTheMode) {
    const AudioObjectID before = tap->aggID();
    command("system now");
    EXPECT_EQ(err.text(), buildLines() + "  > system tap started\n");
    EXPECT_NE(tap->aggID(), before);
    EXPECT_TRUE(tapRunning());
    command("INPUT mic");
    hw.inject({Op::CreateProcessTap, {}, {}, -1});
    err.clear();
    command("SYSTEM");
    EXPECT_EQ(err.text(), failedBuild() + "  x system tap build failed\n");
    EXPECT_EQ(controller->mode(), Mode::Input);  // names a source that no longer runs
    EXPECT_EQ(hw.liveIOProcs(), 0);
}

TEST_F(ControllerTest, InputSwitchesReplacesReportsItsRateAndNeedsAUid) {
    command("INPUT");
    command("input   ");
    EXPECT_EQ(err.text(), "  x INPUT needs a device uid\n  x INPUT needs a device uid\n");
    EXPECT_TRUE(tapRunning());
    err.clear();
    command("input mic");
    EXPECT_EQ(err.text(),
              "  input device 'Desk Mic' channels: 2\n  > input capture started: mic\n"
              "  input device rate: 48000.0\n");
    EXPECT_EQ(controller->mode(), Mode::Input);
    EXPECT_TRUE(inputRunning());
    const AudioObjectID other = addInput("other mic", "Other", {1});
    hw.clearCalls();
    command("INPUT other mic");  // replaces the running device and leaves the torn-down tap alone
    EXPECT_EQ(input->devID(), other);
    for (const auto& call : hw.calls()) EXPECT_EQ(call.find("Aggregate"), std::string::npos) << call;
}

TEST_F(ControllerTest, AFailedInputStartFallsBackToTheSystemTapOnceAndLeaksNothing) {
    command("INPUT speakers");  // an output-only device is no input
    EXPECT_EQ(err.text(),
              "  input device 'Speakers' channels: 0\n  x input device has no input channels: speakers\n"
              "  x input start failed; restoring system\n" +
                  buildLines());
    EXPECT_EQ(controller->mode(), Mode::System);
    EXPECT_TRUE(tapRunning());
    command("INPUT mic");
    hw.inject({Op::GetPropertyData, std::nullopt, kAudioTapPropertyUID, -4});
    command("SYSTEM");  // stops at the tap UID: one tap stays behind
    hw.clearFaults();
    hw.inject({Op::CreateAggregateDevice, {}, {}, -5});
    command("INPUT nowhere");  // the fall-back fails too, and must not leak the tap left behind
    EXPECT_EQ(controller->mode(), Mode::Input);
    EXPECT_EQ(hw.liveTaps() + hw.liveAggregates() + hw.liveIOProcs(), 0);
    EXPECT_TRUE(has("  x input device not found: nowhere\n  x input start failed; restoring system\n"));
}

TEST_F(ControllerTest, ListAndUnknownCommands) {
    for (const char* line : {"list", "LIST extra", "LISTING", "hello world", "INPUT\tmic"}) command(line);
    const std::string list = "@DEVICES [{\"uid\":\"mic\",\"name\":\"Desk Mic\",\"ch\":2,\"default\":true}]\n";
    EXPECT_EQ(err.text(),
              list + list + "unknown cmd: LISTING\nunknown cmd: hello world\nunknown cmd: INPUT\tmic\n");
    EXPECT_TRUE(tapRunning());
}

// Text the parent or the platform chose is one line wherever it is echoed; the lookup uses it as sent.
TEST_F(ControllerTest, EchoedTextIsOneLineAndTheLookupUsesTheUidAsSent) {
    const std::string fffd = "\xEF\xBF\xBD";
    const AudioObjectID odd = addInput("odd\xE2\x80\xA8mic", "Odd\x0BMic", {1});
    command("INPUT odd\xE2\x80\xA8mic");
    EXPECT_EQ(input->devID(), odd);
    command("INPUT nowhere\xC2\x85x");
    command(
        "INPUT dead\x0C"
        "end");
    command("bad\x1B[31m");
    EXPECT_EQ(err.text(), "  input device 'Odd" + fffd + "Mic' channels: 1\n  > input capture started: odd" +
                              fffd +
                              "mic\n  input device rate: 48000.0\n  x input device not found: nowhere" +
                              fffd + "x\n  x input start failed; restoring system\n" + buildLines() +
                              "  x input device not found: dead" + fffd +
                              "end\n  x input start failed; restoring system\n" + buildLines() +
                              "unknown cmd: bad" + fffd + "[31m\n");
    command("INPUT odd\xE2\x80\xA8mic");
    err.clear();
    hw.removeDevice(odd);
    notify({{odd, kAudioDevicePropertyDeviceIsAlive}});
    EXPECT_TRUE(has("  x input device lost: odd" + fffd + "mic; restoring system\n"));
}

TEST_F(ControllerTest, WatchdogRebuildsATapSilentPastTheThresholdAndRetriesAFailedRebuild) {
    controller->setZeroThreshold(1000);
    silence(1000);
    controller->watchdogTick();  // equal is not past it
    hw.deliver(tap->aggID(), Buffers({{0.0f, 0.5f}}).list());
    silence(1000);
    controller->watchdogTick();  // one loud sample started the run again
    EXPECT_EQ(err.text(), "");
    silence(1);
    controller->watchdogTick();
    EXPECT_EQ(err.text(),
              "  ! tap went silent (1001 zero-frames) - rebuilding\n" + buildLines() + "  > tap rebuilt\n");
    EXPECT_EQ(tap->counters().totalFrames, 0);
    silence(1500);
    hw.inject({Op::CreateProcessTap, {}, {}, -1});
    err.clear();
    controller->watchdogTick();
    controller->watchdogTick();
    const std::string round = "  ! tap went silent (1500 zero-frames) - rebuilding\n" + failedBuild() +
                              "  x rebuild failed; retrying next tick\n";
    EXPECT_EQ(err.text(), round + round);
    hw.clearFaults();
    controller->watchdogTick();
    EXPECT_TRUE(has("  > tap rebuilt\n"));
    EXPECT_TRUE(exits.empty());
}

TEST_F(ControllerTest, EveryEndReleasesEverythingOnceAndSilently) {
    command("INPUT mic");
    controller->setZeroThreshold(0);
    err.clear();
    controller->watchdogTick();  // no silence rebuild in input mode
    EXPECT_TRUE(inputRunning());
    parent.gone = true;  // the parent check runs in every mode
    controller->watchdogTick();
    EXPECT_EQ(exits, std::vector<int>{0});
    EXPECT_EQ(err.text(), "");
    expectNothingLeaked();
    controller->terminate();
    command("SYSTEM");  // nothing runs once the end has begun
    notifySystem(kAudioHardwarePropertyDevices);
    EXPECT_EQ(exits, std::vector<int>{0});
    expectNothingLeaked();
}

TEST_F(ControllerTest, ANewDefaultOutputMovesTheSystemTapAndLeavesAnInputAlone) {
    hw.setDefaultOutput(addOutput(2, 44100.0, "headphones"));
    notifySystem(kAudioHardwarePropertyDefaultOutputDevice);
    EXPECT_TRUE(
        has("  ! default output changed - rebuilding\n  output device channels: 2, level correction x1.0\n"
            "  aggregate rate set -> 44100.0"));
    EXPECT_TRUE(has("  > tap rebuilt\n"));
    EXPECT_EQ(hw.aggregatesCreated().back().master, "headphones");
    err.clear();
    notifySystem(kAudioHardwarePropertyDefaultOutputDevice);  // told again, but nothing moved
    command("INPUT mic");
    err.clear();
    hw.setDefaultOutput(speakers);
    notifySystem(kAudioHardwarePropertyDefaultOutputDevice);
    EXPECT_EQ(err.text(), "");
    EXPECT_TRUE(inputRunning());
}

TEST_F(ControllerTest, ADeadDeviceEndsItsSourceAndTheTicksRetryWhatTheMachineBrokeQuietlyUntilItWorks) {
    hw.setAlive(speakers, false);  // the tap's clock device went away under it
    notify({{speakers, kAudioDevicePropertyDeviceIsAlive}});
    EXPECT_EQ(err.text(), "  ! tap stalled - rebuilding\n" + buildLines() + "  > tap rebuilt\n");
    hw.setAlive(speakers, true);
    command("INPUT mic");
    hw.inject({Op::CreateProcessTap, {}, {}, -1});
    err.clear();
    hw.removeDevice(mic);  // unplugged: it dies and leaves the list
    notify({{mic, kAudioDevicePropertyDeviceIsAlive},
            {kAudioObjectSystemObject, kAudioHardwarePropertyDevices}});
    EXPECT_EQ(err.text(), "  x input device lost: mic; restoring system\n" + failedBuild() +
                              "  ! input devices changed\n");
    EXPECT_EQ(controller->mode(), Mode::Input);  // as after any failed fall-back
    err.clear();
    tickAt(10s);
    EXPECT_EQ(err.text(), failedBuild() + "  x rebuild failed; retrying next tick\n");
    tickAt(12s);
    tickAt(14s);  // the same lines again: nothing written
    EXPECT_EQ(err.text(), failedBuild() + "  x rebuild failed; retrying next tick\n");
    hw.clearFaults();
    err.clear();
    tickAt(16s);
    EXPECT_EQ(err.text(), buildLines() + "  > tap rebuilt\n");
    EXPECT_EQ(controller->mode(), Mode::System);
    tickAt(18s);
    EXPECT_EQ(err.text(), buildLines() + "  > tap rebuilt\n");
}

TEST_F(ControllerTest, ADeathNoNotificationToldOfIsFoundAndAServerThatIsGoneIsNotRetried) {
    watch.stop();
    hw.serverReachable = 1;  // a platform with a server says whether it reaches it
    controller->startWatching();
    hw.setAlive(speakers, false);  // died before its listener could tell
    command("LIST");
    EXPECT_TRUE(has("  ! tap stalled - rebuilding\n" + buildLines() + "  > tap rebuilt\n")) << err.text();
    hw.setAlive(speakers, true);
    err.clear();
    // The server drops right after a build, and no word of it has come yet.
    hw.serverReachable = 0;
    hw.setAlive(tap->aggID(), false);
    hw.inject({Op::GetPropertyData, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice, 7});
    tickAt(2s);
    EXPECT_EQ(err.text(),
              "  x sound server unreachable\n  ! tap stalled - rebuilding\n"
              "  x get default output failed: 7\n  x rebuild failed; retrying next tick\n");
    tickAt(4s);
    tickAt(6s);  // no server to try on
    EXPECT_EQ(hw.liveAggregates(), 0);
    hw.clearFaults();
    hw.serverReachable = 1;
    err.clear();
    notifySystem(kLumvarServerReachable);
    EXPECT_EQ(err.text(), "  > sound server back\n" + buildLines() + "  > system tap started\n");
}

TEST_F(ControllerTest, AFailedCommandIsNotRetriedByTheTick) {
    hw.inject({Op::CreateProcessTap, {}, {}, -1});
    command("SYSTEM");
    err.clear();
    hw.clearFaults();
    tickAt(2s);
    tickAt(4s);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(hw.liveAggregates(), 0);
}

TEST_F(ControllerTest, OurOwnAggregatesComingAndGoingAreNoChangeThatRetriesAFailedBuild) {
    const auto attempts = [this] {
        return std::ranges::count_if(
            hw.calls(), [](const std::string& call) { return call.starts_with("createAggregateDevice"); });
    };
    const auto bursts = [this](int count) {
        int ran = 0;
        for (int i = 0; i < count; ++i) {
            now += app::DeviceWatch::kBurst;
            ran += queue.runPending();
        }
        return ran;
    };
    hw.inject({Op::DeviceStart, {}, {}, -7});  // refused after the aggregate was made
    hw.clearCalls();
    command("SYSTEM");
    ASSERT_TRUE(has("  x start failed: -7\n  x system tap build failed\n")) << err.text();
    err.clear();
    EXPECT_EQ(watch.deviceListNotifications(), 3u);  // the old aggregate gone, the new one made and gone
    EXPECT_GT(bursts(20), 0);
    EXPECT_EQ(attempts(), 1);
    addInput("usb-mic", "USB Mic", {1});  // a change of the machine is worth exactly one attempt
    notifySystem(kAudioHardwarePropertyDevices);
    bursts(20);
    EXPECT_EQ(attempts(), 2);
    EXPECT_TRUE(has("  x system tap build failed\n  ! input devices changed\n")) << err.text();
    EXPECT_EQ(hw.liveAggregates(), 0);
    hw.clearFaults();
    hw.setDefaultOutput(addOutput(2, 48000.0, "headphones"));  // not device-list driven: still retried
    notifySystem(kAudioHardwarePropertyDefaultOutputDevice);
    EXPECT_TRUE(tapRunning());
}

TEST_F(ControllerTest, ASourceThatStopsDeliveringIsStalledAfterThreeSecondsNotBefore) {
    tickAt(2s);
    tickAt(30s);  // never delivered yet: waiting for something to play, not stalled
    silence(64);
    tickAt(32s);  // sees it deliver
    tickAt(34900ms);
    EXPECT_EQ(err.text(), "");
    tickAt(35s);
    EXPECT_EQ(err.text(), "  ! tap stalled - rebuilding\n" + buildLines() + "  > tap rebuilt\n");
    command("INPUT mic");
    hw.deliver(mic, Buffers({{0.1f, 0.1f}}).list());
    tickAt(40s);
    tickAt(42900ms);
    EXPECT_FALSE(has("lost"));
    tickAt(43s);
    EXPECT_TRUE(has("  x input device lost: mic; restoring system\n"));
    EXPECT_EQ(controller->mode(), Mode::System);
}

TEST_F(ControllerTest, TheParentHearsOfInputDevicesAndOfTheServerOnlyWhenTheyChange) {
    watch.stop();
    hw.serverReachable = 1;  // a platform with a server says whether it reaches it
    controller->startWatching();
    // list, defaults, server; alive: the output device and the aggregate; the aggregate's rate
    EXPECT_EQ(hw.liveListeners(), 4 + 2 + 1);
    notifySystem(kAudioHardwarePropertyDevices);  // nothing new
    const AudioObjectID usb = addInput("usb-mic", "USB Mic", {1});
    addOutput(2, 48000.0, "hdmi");  // no input to pick
    notifySystem(kAudioHardwarePropertyDevices);
    notifySystem(kAudioHardwarePropertyDevices);
    hw.setDeviceList({usb, mic, speakers, tap->aggID()});  // the same set in another order
    notifySystem(kAudioHardwarePropertyDevices);
    hw.setDefaultInput(usb);
    notifySystem(kAudioHardwarePropertyDefaultInputDevice);
    hw.serverReachable = 0;
    notifySystem(kLumvarServerReachable);
    notifySystem(kLumvarServerReachable);
    hw.serverReachable = 1;
    notifySystem(kLumvarServerReachable);
    EXPECT_EQ(err.text(),
              "  ! input devices changed\n  ! input devices changed\n"
              "  x sound server unreachable\n  > sound server back\n");
    command("INPUT mic");
    EXPECT_EQ(hw.liveListeners(), 4 + 1 + 1);  // the alive and rate listeners follow the device in use
}

}  // namespace lumvar::testing

namespace lumvar::testing {

// Every start of a source, whatever its reason, begins a segment at the first frame it delivers, at the
// rate it delivers at; a start that never delivers leaves no trace.
TEST_F(ControllerTest, EveryStartOfASourceBeginsASegmentAtItsFirstFrame) {
    const auto play = [&](AudioObjectID device) {
        ASSERT_EQ(hw.deliver(device, Buffers({std::vector<float>(20, 0.5f)}).list()), 1);
    };
    play(tap->aggID());  // start-up's build
    command("SYSTEM");
    play(tap->aggID());
    hw.setNominalRate(mic, 44100.0);
    command("INPUT mic");
    play(mic);
    hw.setNominalRate(mic, 32000.0);  // the device changes rate while it runs
    notify({{mic, kAudioDevicePropertyNominalSampleRate}});
    play(mic);
    command("INPUT nowhere");  // the fall-back
    play(tap->aggID());
    hw.setDefaultOutput(addOutput(2, 44100.0, "headphones"));
    notifySystem(kAudioHardwarePropertyDefaultOutputDevice);
    play(tap->aggID());
    hw.setAlive(tap->aggID(), false);
    notify({{tap->aggID(), kAudioDevicePropertyDeviceIsAlive}});
    play(tap->aggID());
    tickAt(100s);
    tickAt(104s);  // stalled
    play(tap->aggID());
    controller->setZeroThreshold(5);
    silence(20);
    tickAt(106s);  // silent
    play(tap->aggID());
    command("SYSTEM");
    command("SYSTEM");
    play(tap->aggID());
    std::vector<std::pair<std::uint64_t, double>> starts;
    for (const capture::SegmentStart& start : segments()) starts.emplace_back(start.sample / 2, start.rate);
    EXPECT_EQ(starts, (std::vector<std::pair<std::uint64_t, double>>{{0, 48000.0},
                                                                     {10, 48000.0},
                                                                     {20, 44100.0},
                                                                     {30, 32000.0},
                                                                     {40, 48000.0},
                                                                     {50, 44100.0},
                                                                     {60, 44100.0},
                                                                     {70, 44100.0},
                                                                     {90, 44100.0},
                                                                     {100, 44100.0}}));
    EXPECT_TRUE(has("  ! tap stalled - rebuilding\n") && has("  ! tap went silent ("));
}

}  // namespace lumvar::testing
