// The controller on a scripted machine: commands, the watchdog, the machine's changes, the end.
#include "app/controller.h"

#include <gtest/gtest.h>

#include <thread>

#include "audio/audio_properties.h"
#include "audio/property_queries.h"
#include "support/audio_fixture.h"

namespace lumvar::testing {

using namespace lumvar::audio;
using namespace lumvar::app;
using namespace lumvar::capture;
using Op = ScriptedAudio::Op;
using Fault = ScriptedAudio::Fault;

// A controller already capturing what the machine plays. A call's parts run apart (as on a sound server) or
// in one aggregate that holds the microphone (as on Core Audio).
struct ControllerTest : MachineFixture {
    std::shared_ptr<Tap> tap = Tap::create(env, out, sleeper, uuids);
    std::shared_ptr<InputCapture> input = InputCapture::create(env, out);
    std::shared_ptr<CallCapture> call = CallCapture::create(env, *tap, *input, out);
    MainQueue::Clock::time_point now{};
    MainQueue queue{[this] { return now; }};
    DeviceWatch watch{hw, queue};
    std::vector<int> exits;
    std::optional<Controller> controller;
    const std::string channels = "  output device channels: 2, level correction x1.0\n",
                      failedBuild = channels + "  x create tap failed: -1\n", rebuilt = "  > tap rebuilt\n",
                      failed = "  x system tap build failed\n", sysStarted = "  > system tap started\n",
                      retry = "  x rebuild failed; retrying next tick\n",
                      micLine = "  input device 'Desk Mic' channels: 2\n",
                      micStarted = inputStarted("Desk Mic", '2', "mic"),
                      callStarted = "  > call capture started: mic\n  input device rate: 48000.0\n";
    void SetUp() override {
        MachineFixture::SetUp();
        hw.serverReachable = 1;
        controller.emplace(Controller::Deps{env, tap, input, call, parent, watch, [this] { return now; },
                                            nullptr, [this](int status) { exits.push_back(status); }});
        ASSERT_TRUE(tap->build());
        controller->listDevices();
        controller->startWatching();
    }
    // Every test ends as the process does, with nothing of the audio system left behind.
    void TearDown() override { controller->terminate(), expectNothingLeaked(); }
    // Each of these returns the lines written meanwhile.
    std::string linesOf(const std::function<void()>& work) { return err.clear(), work(), err.text(); }
    std::string command(std::string_view line) {
        return linesOf([&] { controller->handle(*parseCommand(line, platformText())); });
    }
    // The platform notifies; once the burst window has passed, the main queue acts.
    std::string notify(std::initializer_list<std::pair<AudioObjectID, FourCharCode>> changes) {
        for (const auto& [object, selector] : changes) hw.fire(object, selector);
        return linesOf([&] { now += DeviceWatch::kBurst, queue.runPending(); });
    }
    std::string notifySystem(FourCharCode selector) { return notify({{kAudioObjectSystemObject, selector}}); }
    std::string tickAt(MainQueue::Clock::duration since) {
        return linesOf([&] { now = MainQueue::Clock::time_point{} + since, controller->watchdogTick(); });
    }
    // The mode, and what runs: "tap", the input's UID or "nothing" (a leak shows at the end of the test).
    std::string state() const {
        const std::string what = input->running()           ? input->uid()
                                 : hw.startedIOProcs() == 1 ? "tap"
                                                            : "nothing";
        return (controller->mode() == Mode::System ? "system: " : "input: ") + what;
    }
    void silence(std::size_t samples) {
        hw.deliver(tap->aggID(), Buffers({std::vector<float>(samples, 0.0f)}).list());
    }
    static std::string inputStarted(const std::string& name, char channels, const std::string& uid) {
        return "  input device '" + name + "' channels: " + channels + "\n  > input capture started: " + uid +
               "\n  input device rate: 48000.0\n";
    }
    // One cycle of `frames` frames to `device`, stamped now, each buffer's frames of the values given.
    // `hostTime`: the cycle's stamp (0: now).
    void cycle(AudioObjectID device, std::vector<std::vector<float>> frameValues, std::size_t frames = 480,
               std::uint64_t hostTime = 0) {
        std::vector<std::vector<float>> buffers;
        for (const auto& values : frameValues)
            for (auto& buffer = buffers.emplace_back(); buffer.size() < frames * values.size();)
                buffer.insert(buffer.end(), values.begin(), values.end());
        const AudioTimeStamp time{.mHostTime = hostTime != 0 ? hostTime : hw.currentHostTime(),
                                  .mFlags = kAudioTimeStampHostTimeValid};
        hw.deliver(device, Buffers(buffers).list(), &time);
    }
    // The call's output once the pairing thread has written `frames` frames.
    const std::vector<float>& awaitFrames(std::size_t frames) {
        for (int tries = 0; tries < 2000 && written().size() < 2 * frames; ++tries)
            std::this_thread::sleep_for(1ms);
        return written();
    }
    AudioObjectID aggregate() const { return hw.aggregateIDs().empty() ? 0 : hw.aggregateIDs().back(); }
};
using CallTest = ControllerTest;

// Text from the parent or the platform is one line wherever it is echoed; the lookup uses the UID as sent.
TEST_F(ControllerTest, EachCommandSwitchesWithItsLinesAndLeavesNothingBehind) {
    const std::string fffd = "\xEF\xBF\xBD", restoring = "  x input start failed; restoring system\n";
    const AudioObjectID odd = addInput("odd\xE2\x80\xA8mic", "Odd\x0BMic", {1});
    const std::string list =
        "@DEVICES [{\"uid\":\"mic\",\"name\":\"Desk Mic\",\"ch\":2,\"default\":true},{\"uid\":"
        "\"odd\\u2028mic\",\"name\":\"Odd\\u000bMic\",\"ch\":1,\"default\":false}]\n";
    struct Step {
        std::string line, lines, state;
        std::optional<Fault> fault{};
    };
    for (const Step& step : std::vector<Step>{
             {"system now", kBuildLines + sysStarted, "system: tap"},
             {"INPUT", "  x INPUT needs a device uid\n", "system: tap"},
             {"list extra", list, "system: tap"},
             {"LISTING", "unknown cmd: LISTING\n", "system: tap"},
             {"bad\x1B[31m", "unknown cmd: bad" + fffd + "[31m\n", "system: tap"},
             {"INPUT nowhere\xC2\x85x",
              "  x input device not found: nowhere" + fffd + "x\n" + restoring + kBuildLines + sysStarted,
              "system: tap"},
             {"input mic", micStarted, "input: mic"},
             {"INPUT odd\xE2\x80\xA8mic", inputStarted("Odd" + fffd + "Mic", '1', "odd" + fffd + "mic"),
              "input: odd\xE2\x80\xA8mic"},
             // A failed SYSTEM names a source that no longer runs.
             {"SYSTEM", failedBuild + failed, "input: nothing", Fault{Op::CreateProcessTap, {}, {}, -1}},
             {"INPUT mic", micStarted, "input: mic"},
             // A build that stops at the tap's UID keeps its tap until the next teardown, which the
             // fall-back of a failed INPUT makes even when it fails too.
             {"SYSTEM", channels + "  x tap UID failed: -4\n" + failed, "input: nothing",
              Fault{Op::GetPropertyData, std::nullopt, kAudioTapPropertyUID, -4}},
             {"INPUT nowhere",
              "  x input device not found: nowhere\n" + restoring + channels +
                  "  x create aggregate failed: -5\n",
              "input: nothing", Fault{Op::CreateAggregateDevice, {}, {}, -5}},
         }) {
        hw.clearFaults();
        if (step.fault) hw.inject(*step.fault);
        EXPECT_EQ(command(step.line), step.lines) << step.line;
        EXPECT_EQ(state(), step.state) << step.line;
    }
    hw.clearFaults();
    command("INPUT odd\xE2\x80\xA8mic");
    hw.removeDevice(odd);
    EXPECT_EQ(notify({{odd, kAudioDevicePropertyDeviceIsAlive}}),
              "  x input device lost: odd" + fffd + "mic; restoring system\n" + kBuildLines + sysStarted);
}

TEST_F(ControllerTest, TheWatchdogRebuildsASilentTapOnEveryTickAndEndsOnceWhenTheParentGoes) {
    controller->setZeroThreshold(1000);
    silence(1000);
    EXPECT_EQ(tickAt(0s), "");  // equal is not past it
    hw.deliver(tap->aggID(), Buffers({{0.0f, 0.5f}}).list());
    silence(1000);
    EXPECT_EQ(tickAt(0s), "");  // one loud sample started the run again
    silence(1);
    EXPECT_EQ(tickAt(0s), "  ! tap went silent (1001 zero-frames) - rebuilding\n" + kBuildLines + rebuilt);
    silence(1500);  // counted from the rebuild on
    hw.inject({Op::CreateProcessTap, {}, {}, -1});
    for (int tick = 0; tick < 2; ++tick)  // its own rule: every tick says it, even word for word
        EXPECT_EQ(tickAt(0s), "  ! tap went silent (1500 zero-frames) - rebuilding\n" + failedBuild + retry);
    command("INPUT mic");
    controller->setZeroThreshold(0);
    EXPECT_EQ(tickAt(0s), "");  // the tap's silence is no concern of an input
    hw.fire(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice);  // in flight at the end
    parent.gone = true;                                                            // looked at in every mode
    EXPECT_EQ(tickAt(0s), "");
    EXPECT_EQ(exits, std::vector<int>{0});
    expectNothingLeaked();
    EXPECT_EQ(command("SYSTEM") + notify({}), "");  // nothing runs once the end has begun
    controller->terminate();
    EXPECT_EQ(exits, std::vector<int>{0});
}

// Not delivering yet is waiting; a death is found whether a notification tells of it or not. What the
// machine broke is retried every tick, quietly once its lines repeat, until it works or the parent decides.
TEST_F(ControllerTest, AStalledOrDeadSourceIsRebuiltAndWhatTheMachineBrokeIsRetriedEveryTick) {
    const std::string stalling = "  ! tap stalled - rebuilding\n", stalled = stalling + kBuildLines + rebuilt,
                      lost = "  x input device lost: mic; restoring system\n";
    for (const auto at : {2s, 30s}) EXPECT_EQ(tickAt(at), "");
    silence(64);
    for (const auto at : {32000ms, 34900ms}) EXPECT_EQ(tickAt(at), "");
    EXPECT_EQ(tickAt(35s), stalled);
    command("INPUT mic");
    hw.deliver(mic, Buffers({{0.1f, 0.1f}}).list());
    EXPECT_EQ(tickAt(40s), "");
    EXPECT_EQ(tickAt(43s), lost + kBuildLines + sysStarted);
    hw.setAlive(speakers, false);  // the tap's clock device went away under it
    EXPECT_EQ(notify({{speakers, kAudioDevicePropertyDeviceIsAlive}}), stalled);
    hw.setAlive(speakers, true);
    hw.setAlive(tap->aggID(), false);  // before its listener could tell: the next work item looks
    EXPECT_EQ(command("nop"), "unknown cmd: nop\n" + stalled);
    hw.serverReachable = 0;  // the server goes right after a build, before any word of it
    hw.setAlive(tap->aggID(), false);
    hw.inject({Op::GetPropertyData, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice, 7});
    EXPECT_EQ(tickAt(50s),
              "  x sound server unreachable\n" + stalling + "  x get default output failed: 7\n" + retry);
    hw.clearFaults();
    EXPECT_EQ(tickAt(52s), "");  // a retry would work now, but there is no server to try it on
    hw.serverReachable = 1;
    hw.inject({Op::CreateProcessTap, {}, {}, -1});
    EXPECT_EQ(notifySystem(kLumvarServerReachable), "  > sound server back\n" + failedBuild + failed);
    hw.clearFaults();
    EXPECT_EQ(tickAt(54s), kBuildLines + rebuilt);
    command("INPUT mic");
    hw.inject({Op::CreateProcessTap, {}, {}, -1});
    hw.removeDevice(mic);  // unplugged: it dies and leaves the list
    EXPECT_EQ(notify({{mic, kAudioDevicePropertyDeviceIsAlive},
                      {kAudioObjectSystemObject, kAudioHardwarePropertyDevices}}),
              lost + failedBuild + "  ! input devices changed\n");
    EXPECT_EQ(state(), "input: nothing");  // as after any failed fall-back
    EXPECT_EQ(tickAt(60s), failedBuild + retry);
    EXPECT_EQ(tickAt(62s), "");                          // the same lines again: nothing written
    EXPECT_EQ(command("SYSTEM"), failedBuild + failed);  // the parent decides now
    hw.clearFaults();
    EXPECT_EQ(tickAt(64s), "");  // and a failure of its own is not retried
    // A clock that counts sleep: an hour between two ticks is no stall; IO that stays away after it is.
    command("SYSTEM");
    silence(64);
    for (const auto at : {66s, 3666s, 3668s}) EXPECT_EQ(tickAt(at), "");
    EXPECT_EQ(tickAt(3670s), stalled);
}

// The audio system's daemon started again: every id and listener is void; an input that is gone is lost.
TEST_F(ControllerTest, ARestartOfTheAudioSystemStartsTheRunningSourceAfresh) {
    const std::string restarted = "  ! audio system restarted - rebuilding\n";
    const auto restart = [this](bool unplugMic = false) {
        const auto renumbered = hw.restartService();
        if (unplugMic) hw.removeDevice(renumbered.at(mic));
        mic = renumbered.at(mic), speakers = renumbered.at(speakers);
        return notify({});
    };
    EXPECT_EQ(restart(), restarted + kBuildLines + rebuilt);
    // Listened to afresh: list, defaults, server, restart; the tap's devices alive; its rate; its latency.
    EXPECT_EQ(hw.liveListeners(), 5 + 2 + 1 + 1);
    command("INPUT mic");
    EXPECT_EQ(restart(), restarted + micStarted);
    EXPECT_EQ(state(), "input: mic");
    EXPECT_EQ(restart(true),
              restarted + "  x input device lost: mic; restoring system\n" + kBuildLines + sysStarted);
    EXPECT_EQ(state(), "system: tap");
}

// Our own aggregates, which the platform announces as device-list changes, are no change: else a build
// that made its aggregate and then failed would try again at each of them.
TEST_F(ControllerTest, OurOwnAggregatesAreNoChangeAndTheParentHearsOfChangesOnlyWhenTheyAreSo) {
    const std::string changed = "  ! input devices changed\n",
                      startFailed = kBuildLines + "  x start failed: -7\n" + failed;
    hw.inject({Op::DeviceStart, {}, {}, -7});  // refused after the aggregate was made
    EXPECT_EQ(command("SYSTEM"), startFailed);
    EXPECT_EQ(watch.deviceListNotifications(), 3u);  // the old aggregate gone, the new one made and gone
    for (int i = 0; i < 20; ++i) EXPECT_EQ(notify({}), "");         // each attempt would say so
    const AudioObjectID usb = addInput("usb-mic", "USB Mic", {1});  // a change: worth exactly one attempt
    EXPECT_EQ(notifySystem(kAudioHardwarePropertyDevices), startFailed + changed);
    hw.clearFaults();
    const AudioObjectID headphones = addOutput(2, 48000.0, "headphones");
    hw.setDefaultOutput(headphones);
    EXPECT_EQ(notifySystem(kAudioHardwarePropertyDefaultOutputDevice), kBuildLines + sysStarted);
    hw.setDeviceList({usb, addOutput(2, 48000.0, "hdmi"), mic, headphones, speakers, tap->aggID()});
    EXPECT_EQ(notifySystem(kAudioHardwarePropertyDevices), "");  // no input more, and another order
    hw.setDefaultInput(usb);
    EXPECT_EQ(notifySystem(kAudioHardwarePropertyDefaultInputDevice), changed);
    hw.serverReachable = 0;
    EXPECT_EQ(notifySystem(kLumvarServerReachable), "  x sound server unreachable\n");
    EXPECT_EQ(notifySystem(kLumvarServerReachable), "");
    hw.serverReachable = 1;
    EXPECT_EQ(notifySystem(kLumvarServerReachable), "  > sound server back\n");
    hw.setDefaultOutput(speakers);
    EXPECT_EQ(notifySystem(kAudioHardwarePropertyDefaultOutputDevice),
              "  ! default output changed - rebuilding\n" + kBuildLines + rebuilt);
    EXPECT_EQ(notifySystem(kAudioHardwarePropertyDefaultOutputDevice), "");  // told again, but nothing moved
    command("INPUT mic");
    EXPECT_EQ(hw.liveListeners(), 5 + 1 + 1 + 1);  // alive, rate and latency follow the device in use
    hw.setDefaultOutput(headphones);
    EXPECT_EQ(notifySystem(kAudioHardwarePropertyDefaultOutputDevice), "");
    EXPECT_EQ(state(), "input: mic");
}

// At the rate the source runs at; every other start is the same build, whose lines the tests above check.
TEST_F(ControllerTest, EveryStartAndEveryRateChangeBeginsASegmentAtItsFirstFrame) {
    const auto play = [&](AudioObjectID device) {
        ASSERT_EQ(hw.deliver(device, Buffers({std::vector<float>(20, 0.5f)}).list()), 1);
    };
    play(tap->aggID());  // start-up's build
    hw.setNominalRate(mic, 32000.0);
    command("INPUT mic");
    play(mic);
    hw.setNominalRate(mic, 96000.0);
    notify({{mic, kAudioDevicePropertyNominalSampleRate}});
    play(mic);
    command("SYSTEM");
    command("SYSTEM");  // a start that never delivered leaves no trace
    play(tap->aggID());
    std::vector<std::pair<std::uint64_t, double>> starts;
    for (const SegmentStart& start : segments()) starts.emplace_back(start.sample / 2, start.rate);
    EXPECT_EQ(starts, (std::vector<std::pair<std::uint64_t, double>>{
                          {0, 48000.0}, {10, 32000.0}, {20, 96000.0}, {30, 48000.0}}));
}

// Apart: the microphone on its own callback; its channels' mean left, what plays right.
TEST_F(CallTest, ApartTheMicrophoneAndWhatPlaysArePairedAndEveryCommandEndsTheCallCleanly) {
    hw.callPartsApart = 1;
    EXPECT_EQ(command("call"), "  x CALL needs a device uid\n");
    EXPECT_EQ(command("CALL mic"), micLine + kBuildLines + callStarted);
    EXPECT_EQ(controller->mode(), Mode::Call);
    EXPECT_TRUE(input->running());
    clearWritten();
    const std::uint64_t at = hw.currentHostTime();  // both of one instant, however slow the machine
    cycle(aggregate(), {{0.2f, 0.4f}}, 480, at);    // what plays: its mean, 0.3
    cycle(mic, {{0.1f, 0.3f}}, 480, at);            // the microphone's: 0.2
    const auto& stream = awaitFrames(384);
    ASSERT_GE(stream.size(), 2u * 384);
    for (std::size_t k = 32; k < 384; ++k) {  // past the microphone's onset, which a step rings through
        EXPECT_NEAR(stream[2 * k], 0.2f, 1e-5f) << k;
        EXPECT_NEAR(stream[2 * k + 1], 0.3f, 1e-6f) << k;
    }
    EXPECT_EQ(segments().size(), 1u);
    EXPECT_EQ(segments()[0].rate, 48000.0);
    // A call replaces a call, of the same microphone too; SYSTEM and INPUT end it.
    EXPECT_EQ(command("Call mic"), micLine + kBuildLines + callStarted);
    EXPECT_EQ(command("SYSTEM"), kBuildLines + sysStarted);
    EXPECT_FALSE(input->running());
    command("CALL mic");
    EXPECT_EQ(command("INPUT mic"), micStarted);
    EXPECT_EQ(controller->mode(), Mode::Input);
    EXPECT_EQ(command("CALL speakers"),
              "  input device 'Speakers' channels: 0\n"
              "  x input device has no input channels: speakers\n"
              "  x call start failed; restoring system\n" +
                  kBuildLines + sysStarted);
    EXPECT_EQ(controller->mode(), Mode::System);
}

// Apart: the microphone lost (what plays goes on), what plays rebuilt alone or unavailable (retried quietly).
TEST_F(CallTest, ApartEachPartFailsAndComesBackOnItsOwn) {
    hw.callPartsApart = 1;
    command("CALL mic");
    hw.setAlive(mic, false);
    EXPECT_EQ(notify({{mic, kAudioDevicePropertyDeviceIsAlive}}),
              "  ! call input lost: mic; its channel stays silent\n");
    EXPECT_FALSE(input->running());
    EXPECT_TRUE(tap->running());
    hw.setAlive(mic, true);
    command("CALL mic");
    const AudioObjectID headphones = addOutput(2, 48000.0, "headphones");
    hw.setDefaultOutput(headphones);
    EXPECT_EQ(notifySystem(kAudioHardwarePropertyDefaultOutputDevice),
              "  ! default output changed - rebuilding\n" + kBuildLines + rebuilt);
    EXPECT_TRUE(input->running());  // the microphone never stopped
    EXPECT_EQ(tap->outputDevice(), headphones);
    // Delivering, then nothing for 3 s: the microphone's stall is its loss, what plays is rebuilt.
    cycle(mic, {{0.1f, 0.1f}});
    cycle(aggregate(), {{0.1f, 0.1f}});
    EXPECT_EQ(tickAt(10s), "");
    EXPECT_EQ(tickAt(13s),
              "  ! call input lost: mic; its channel stays silent\n  ! tap stalled - rebuilding\n" +
                  kBuildLines + rebuilt);
    hw.inject({Op::CreateProcessTap, {}, {}, -1});
    EXPECT_EQ(command("CALL mic"),
              micLine + failedBuild + "  ! call system part unavailable - retrying\n" + callStarted);
    EXPECT_TRUE(input->running());
    EXPECT_EQ(tickAt(20s), failedBuild);  // the first retry says why; the same again says nothing
    EXPECT_EQ(tickAt(22s), "");
    hw.clearFaults();
    EXPECT_EQ(tickAt(24s), kBuildLines + rebuilt);
    EXPECT_EQ(controller->mode(), Mode::Call);
}

// The aggregate (the microphone resampled to the output's clock) starts without waiting for sound. A
// microphone at another rate is asked for the output's and given its own back; a lost one is left out.
TEST_F(CallTest, OnOneClockOneAggregateHoldsTheMicrophoneAndFeedsBothParts) {
    EXPECT_EQ(command("CALL mic"), micLine + kBuildLines + callStarted);
    const AggregateDescription made = hw.aggregatesCreated().back();
    EXPECT_FALSE(made.tapAutoStart);
    ASSERT_EQ(made.subDevices.size(), 2u);
    EXPECT_EQ(std::tie(made.subDevices[0].uid, made.subDevices[0].drift, made.subDevices[1].uid,
                       made.subDevices[1].drift),
              std::make_tuple(std::string("speakers"), false, std::string("mic"), true));
    EXPECT_FALSE(input->running());
    clearWritten();
    cycle(aggregate(), {{0.1f, 0.3f}, {0.2f, 0.4f}});  // the microphone's buffer first, then the tap's
    cycle(aggregate(), {{0.1f, 0.3f}, {0.2f, 0.4f}});
    const auto& stream = awaitFrames(800);
    ASSERT_GE(stream.size(), 2u * 800);
    EXPECT_NEAR(stream[2 * 500], 0.2f, 1e-5f);
    EXPECT_NEAR(stream[2 * 500 + 1], 0.3f, 1e-6f);

    hw.setNominalRate(mic, 44100.0);
    EXPECT_EQ(command("CALL mic"),
              micLine + "  microphone rate set -> 48000.0 (was 44100.0, wanted 48000.0)\n" + kBuildLines +
                  "  > call capture started: mic\n  input device rate: 44100.0\n");
    command("SYSTEM");
    EXPECT_EQ(nominalRate(env, mic), 44100.0);  // given back
    hw.setAlive(mic, false);
    command("CALL mic");
    EXPECT_EQ(notify({{mic, kAudioDevicePropertyDeviceIsAlive}}),
              "  ! call input lost: mic; its channel stays silent\n" + kBuildLines + rebuilt);
    EXPECT_TRUE(hw.aggregatesCreated().back().subDevices.empty());
}

}  // namespace lumvar::testing
