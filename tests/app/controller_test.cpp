#include "app/controller.h"

#include <gtest/gtest.h>

#include "audio/audio_properties.h"
#include "support/app_fixture.h"

namespace lumvar::testing {

using namespace lumvar::audio;
using app::Command;
using app::Controller;
using app::Mode;
using Op = ScriptedAudio::Op;
using ControllerTest = ControllerFixture;

TEST_F(ControllerTest, SystemRestartsTheTapWhateverTheArgument) {
    const AudioObjectID before = tap->aggID();
    command("system now");
    EXPECT_EQ(err.text(), buildLines() + "  > system tap started\n");
    EXPECT_NE(tap->aggID(), before);
    EXPECT_TRUE(tapRunning());
    EXPECT_EQ(controller->mode(), Mode::System);
}

TEST_F(ControllerTest, FailedSystemBuildLeavesTheModeAndNothingRunning) {
    hw.inject({Op::CreateProcessTap, {}, {}, -1});
    command("SYSTEM");
    EXPECT_EQ(err.text(), "  output device channels: 2, level correction x1.0\n  x create tap failed: -1\n"
                          "  x system tap build failed\n");
    EXPECT_EQ(controller->mode(), Mode::System);
    EXPECT_EQ(hw.liveTaps(), 0);

    hw.clearFaults();
    command("INPUT mic");
    hw.inject({Op::CreateProcessTap, {}, {}, -1});
    err.clear();
    command("SYSTEM");
    EXPECT_EQ(err.text(), "  output device channels: 2, level correction x1.0\n  x create tap failed: -1\n"
                          "  x system tap build failed\n");
    EXPECT_EQ(controller->mode(), Mode::Input);  // names a source that no longer runs
    EXPECT_EQ(input->devID(), 0u);
    EXPECT_EQ(hw.liveIOProcs(), 0);
}

TEST_F(ControllerTest, InputSwitchesAndReplacesAndNeedsAUid) {
    command("INPUT");
    command("input   ");
    EXPECT_EQ(err.text(), "  x INPUT needs a device uid\n  x INPUT needs a device uid\n");
    EXPECT_TRUE(tapRunning());

    err.clear();
    command("input mic");
    EXPECT_EQ(err.text(), "  input device 'Desk Mic' channels: 2\n  > input capture started: mic\n"
                          "  input device rate: 48000.0\n");
    EXPECT_EQ(controller->mode(), Mode::Input);
    EXPECT_TRUE(inputRunning());

    // Another INPUT replaces the running device and leaves the (torn down) tap alone.
    const AudioObjectID other = addInput("other mic", "Other", {1});
    hw.clearCalls();
    command("INPUT other mic");
    EXPECT_EQ(input->devID(), other);
    for (const auto& call : hw.calls()) EXPECT_EQ(call.find("Aggregate"), std::string::npos) << call;
    EXPECT_EQ(hw.liveIOProcs(), 1);
}

TEST_F(ControllerTest, FailedInputStartFallsBackToTheSystemTapOnce) {
    command("INPUT nowhere");
    EXPECT_EQ(err.text(), "  x input device not found: nowhere\n  x input start failed; restoring system\n" +
                              buildLines());
    EXPECT_EQ(controller->mode(), Mode::System);
    EXPECT_TRUE(tapRunning());

    command("INPUT mic");
    hw.inject({Op::CreateAggregateDevice, {}, {}, -5});
    err.clear();
    command("INPUT nowhere");  // start fails and the fall-back build fails too
    EXPECT_EQ(controller->mode(), Mode::Input);
    EXPECT_EQ(hw.liveTaps() + hw.liveAggregates() + hw.liveIOProcs(), 0);
    EXPECT_EQ(err.chunks().back(), "  x create aggregate failed: -5\n");
}

TEST_F(ControllerTest, FallBackBuildReleasesATapLeftByAnEarlierFailedBuild) {
    command("INPUT mic");
    hw.inject({Op::GetPropertyData, std::nullopt, kAudioTapPropertyUID, -4});
    command("SYSTEM");  // stops at the tap UID: one tap stays behind
    EXPECT_EQ(hw.liveTaps(), 1);
    EXPECT_EQ(controller->mode(), Mode::Input);

    hw.clearFaults();
    command("INPUT nowhere");
    EXPECT_EQ(controller->mode(), Mode::System);
    EXPECT_EQ(hw.liveTaps(), 1);  // the new tap only
    EXPECT_TRUE(tapRunning());
}

TEST_F(ControllerTest, ListAndUnknownCommands) {
    command("list");
    command("LIST extra");
    command("LISTING");
    command("hello world");
    command("INPUT\tmic");
    EXPECT_EQ(err.chunks(),
              (std::vector<std::string>{
                  "@DEVICES [{\"uid\":\"mic\",\"name\":\"Desk Mic\",\"ch\":2,\"default\":true}]\n",
                  "@DEVICES [{\"uid\":\"mic\",\"name\":\"Desk Mic\",\"ch\":2,\"default\":true}]\n",
                  "unknown cmd: LISTING\n", "unknown cmd: hello world\n", "unknown cmd: INPUT\tmic\n"}));
    EXPECT_TRUE(tapRunning());
}

TEST_F(ControllerTest, WatchdogRebuildsOnlyWhenBothCountersPassTheThreshold) {
    const std::int64_t threshold = Controller::kZeroThreshold;
    tap->setCounters({threshold, threshold});
    controller->watchdogTick();
    tap->setCounters({threshold + 1, threshold});
    controller->watchdogTick();
    EXPECT_EQ(err.text(), "");

    const AudioObjectID before = tap->aggID();
    tap->setCounters({threshold + 1, threshold + 1});
    controller->watchdogTick();
    EXPECT_EQ(err.text(), "  ! tap went silent (23040001 zero-frames) - rebuilding\n" + buildLines() +
                              "  > tap rebuilt\n");
    EXPECT_NE(tap->aggID(), before);
    EXPECT_EQ(tap->counters().zeroFrames, 0);
    EXPECT_EQ(tap->counters().totalFrames, 0);
    EXPECT_TRUE(exits.empty());
}

TEST_F(ControllerTest, WatchdogRetriesAFailedRebuildEveryTick) {
    const std::int64_t stuck = Controller::kZeroThreshold + 96000;
    tap->setCounters({stuck, stuck + 10});
    hw.inject({Op::CreateProcessTap, {}, {}, -1});
    const std::string failedRound = "  ! tap went silent (23136000 zero-frames) - rebuilding\n"
                                    "  output device channels: 2, level correction x1.0\n"
                                    "  x create tap failed: -1\n"
                                    "  x rebuild failed; retrying next tick\n";
    controller->watchdogTick();
    controller->watchdogTick();
    EXPECT_EQ(err.text(), failedRound + failedRound);

    hw.clearFaults();
    err.clear();
    controller->watchdogTick();
    EXPECT_EQ(err.chunks().back(), "  > tap rebuilt\n");
    EXPECT_TRUE(tapRunning());
}

TEST_F(ControllerTest, WatchdogLeavesTheInputSourceAlone) {
    command("INPUT mic");
    err.clear();
    tap->setCounters({Controller::kZeroThreshold * 2, Controller::kZeroThreshold * 2});
    controller->watchdogTick();
    EXPECT_EQ(err.text(), "");
    EXPECT_TRUE(inputRunning());

    parent.gone = true;  // the parent check still runs in input mode
    controller->watchdogTick();
    EXPECT_EQ(exits, std::vector<int>{0});
    EXPECT_EQ(input->devID(), 0u);
    expectNothingLeaked();
}

TEST_F(ControllerTest, EveryEndReleasesEverythingOnceAndSilently) {
    parent.gone = true;
    controller->watchdogTick();
    EXPECT_EQ(exits, std::vector<int>{0});
    EXPECT_EQ(err.text(), "");
    expectNothingLeaked();

    controller->terminate();
    controller->watchdogTick();
    command("SYSTEM");  // nothing runs once the end has begun
    EXPECT_EQ(exits, std::vector<int>{0});
    expectNothingLeaked();
}

}  // namespace lumvar::testing
