// A call on a scripted machine: its lines in order, what it runs on each kind of platform (the parts
// apart, as on a sound server; one aggregate holding the microphone, as on Core Audio), the output it
// pairs, and what the machine does to it.
#include <gtest/gtest.h>

#include <thread>

#include "app/controller.h"
#include "audio/audio_properties.h"
#include "audio/property_queries.h"
#include "support/app_fixture.h"

namespace lumvar::testing {

using namespace lumvar::audio;
using namespace std::chrono_literals;
using app::Mode;
using Op = ScriptedAudio::Op;

struct CallTest : MachineFixture {
    std::shared_ptr<capture::Tap> tap = capture::Tap::create(env, out, sleeper, uuids);
    std::shared_ptr<capture::InputCapture> input = capture::InputCapture::create(env, out);
    std::shared_ptr<capture::CallCapture> call = capture::CallCapture::create(env, *tap, *input, out);
    app::MainQueue::Clock::time_point now{};
    app::MainQueue queue{[this] { return now; }};
    app::DeviceWatch watch{hw, queue};
    std::optional<app::Controller> controller;
    const std::string micLine = "  input device 'Desk Mic' channels: 2\n",
                      started = "  > call capture started: mic\n  input device rate: 48000.0\n",
                      rebuilt = "  > tap rebuilt\n", sysStarted = "  > system tap started\n",
                      failedBuild =
                          "  output device channels: 2, level correction x1.0\n  x create tap failed: -1\n";
    void SetUp() override {
        MachineFixture::SetUp();
        hw.serverReachable = 1;
        controller.emplace(app::Controller::Deps{env, tap, input, call, parent, watch, [this] { return now; },
                                                 nullptr, [](int) {}});
        ASSERT_TRUE(tap->build());
        controller->listDevices();
        controller->startWatching();
    }
    void TearDown() override {
        controller->terminate();
        expectNothingLeaked();
    }
    std::string command(std::string_view line) {
        err.clear();
        controller->handle(*app::parseCommand(line, platformText()));
        return err.text();
    }
    std::string notify(AudioObjectID object, FourCharCode selector) {
        err.clear();
        hw.fire(object, selector);
        now += app::DeviceWatch::kBurst;
        queue.runPending();
        return err.text();
    }
    std::string tickAt(app::MainQueue::Clock::duration since) {
        err.clear();
        now = app::MainQueue::Clock::time_point{} + since;
        controller->watchdogTick();
        return err.text();
    }
    // One cycle of `frames` frames to `device`, stamped now; `buffers` the values of each buffer's frames.
    void cycle(AudioObjectID device, std::vector<std::vector<float>> frameValues, std::size_t frames = 480) {
        std::vector<std::vector<float>> buffers;
        for (const auto& values : frameValues) {
            buffers.emplace_back();
            for (std::size_t k = 0; k < frames; ++k)
                buffers.back().insert(buffers.back().end(), values.begin(), values.end());
        }
        const AudioTimeStamp time{.mHostTime = hw.currentHostTime(), .mFlags = kAudioTimeStampHostTimeValid};
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

// On a platform that runs the parts apart: the lines in order, the microphone on its own callback, the
// pairs in the output (the microphone's channels' mean left, what plays right), and each command after.
TEST_F(CallTest, ApartTheMicrophoneAndWhatPlaysArePairedAndEveryCommandEndsTheCallCleanly) {
    hw.callPartsApart = 1;
    EXPECT_EQ(command("call"), "  x CALL needs a device uid\n");
    EXPECT_EQ(command("CALL mic"), micLine + buildLines() + started);
    EXPECT_EQ(controller->mode(), Mode::Call);
    EXPECT_TRUE(input->running());
    clearWritten();
    cycle(aggregate(), {{0.2f, 0.4f}});  // what plays: its mean, 0.3
    cycle(mic, {{0.1f, 0.3f}});          // the microphone's: 0.2
    const auto& stream = awaitFrames(384);
    ASSERT_GE(stream.size(), 2u * 384);
    for (std::size_t k = 32; k < 384; ++k) {  // past the microphone's onset, which a step rings through
        EXPECT_NEAR(stream[2 * k], 0.2f, 1e-5f) << k;
        EXPECT_NEAR(stream[2 * k + 1], 0.3f, 1e-6f) << k;
    }
    EXPECT_EQ(segments().size(), 1u);
    EXPECT_EQ(segments()[0].rate, 48000.0);
    // A call replaces a call, of the same microphone too; SYSTEM and INPUT end it.
    EXPECT_EQ(command("Call mic"), micLine + buildLines() + started);
    EXPECT_EQ(command("SYSTEM"), buildLines() + sysStarted);
    EXPECT_FALSE(input->running());
    command("CALL mic");
    EXPECT_EQ(command("INPUT mic"),
              micLine + "  > input capture started: mic\n  input device rate: 48000.0\n");
    EXPECT_EQ(controller->mode(), Mode::Input);
    EXPECT_EQ(command("CALL speakers"),
              "  input device 'Speakers' channels: 0\n"
              "  x input device has no input channels: speakers\n"
              "  x call start failed; restoring system\n" +
                  buildLines() + sysStarted);
    EXPECT_EQ(controller->mode(), Mode::System);
}

// Apart, what the machine does to a call: the microphone lost (its channel silent, what plays goes on),
// what plays rebuilt alone, and what plays unavailable (the microphone alone, the ticks retry quietly).
TEST_F(CallTest, ApartEachPartFailsAndComesBackOnItsOwn) {
    hw.callPartsApart = 1;
    command("CALL mic");
    hw.setAlive(mic, false);
    EXPECT_EQ(notify(mic, kAudioDevicePropertyDeviceIsAlive),
              "  ! call input lost: mic; its channel stays silent\n");
    EXPECT_FALSE(input->running());
    EXPECT_TRUE(tap->running());
    hw.setAlive(mic, true);
    command("CALL mic");
    const AudioObjectID headphones = addOutput(2, 48000.0, "headphones");
    hw.setDefaultOutput(headphones);
    EXPECT_EQ(notify(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice),
              "  ! default output changed - rebuilding\n" + buildLines() + rebuilt);
    EXPECT_TRUE(input->running());  // the microphone never stopped
    EXPECT_EQ(tap->outputDevice(), headphones);
    // Delivering, then nothing for 3 s: the microphone's stall is its loss, what plays is rebuilt.
    cycle(mic, {{0.1f, 0.1f}});
    cycle(aggregate(), {{0.1f, 0.1f}});
    EXPECT_EQ(tickAt(10s), "");
    EXPECT_EQ(tickAt(13s),
              "  ! call input lost: mic; its channel stays silent\n  ! tap stalled - rebuilding\n" +
                  buildLines() + rebuilt);
    hw.inject({Op::CreateProcessTap, {}, {}, -1});
    EXPECT_EQ(command("CALL mic"),
              micLine + failedBuild + "  ! call system part unavailable - retrying\n" + started);
    EXPECT_TRUE(input->running());
    EXPECT_EQ(tickAt(20s), failedBuild);  // the first retry says why; the same again says nothing
    EXPECT_EQ(tickAt(22s), "");
    hw.clearFaults();
    EXPECT_EQ(tickAt(24s), buildLines() + rebuilt);
    EXPECT_EQ(controller->mode(), Mode::Call);
}

// On one clock: one aggregate holds the output and the microphone (resampled to the output's clock) and
// the tap, starts without waiting for sound, and its one callback feeds both parts from their buffers.
// A microphone at another rate is asked for the output's, and given its own back at the end; one that
// cannot change fails the call; a lost one leaves an aggregate without it.
TEST_F(CallTest, OnOneClockOneAggregateHoldsTheMicrophoneAndFeedsBothParts) {
    EXPECT_EQ(command("CALL mic"), micLine + buildLines() + started);
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
              micLine + "  microphone rate set -> 48000.0 (was 44100.0, wanted 48000.0)\n" + buildLines() +
                  "  > call capture started: mic\n  input device rate: 44100.0\n");
    command("SYSTEM");
    EXPECT_EQ(nominalRate(env, mic), 44100.0);  // given back
    hw.setAlive(mic, false);
    command("CALL mic");
    EXPECT_EQ(notify(mic, kAudioDevicePropertyDeviceIsAlive),
              "  ! call input lost: mic; its channel stays silent\n" + buildLines() + rebuilt);
    EXPECT_TRUE(hw.aggregatesCreated().back().subDevices.empty());
}

}  // namespace lumvar::testing
