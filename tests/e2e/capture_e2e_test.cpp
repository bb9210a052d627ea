// The real helper against a real sound server (started by the test fixture of CTest; see
// scripts/sound-server for its devices).
#include <csignal>

#include "e2e/e2e_support.h"

namespace lumvar::testing {

TEST(CaptureE2E, StartsWithTheServersRatesAndListsItsSources) {
    ChildProcess helper = spawnHelper();
    const std::string all = waitUntilStreaming(helper);
    const std::string text = all.substr(0, all.find(kBanner) + kBanner.size());
    // The build's lines, the device list, the banner: nothing else (not even the layout diagnostic of
    // the first IO cycle, which waits for the main queue) and in this order.
    const std::size_t listEnd = text.find('\n', kBuildLines.size()) + 1;
    ASSERT_EQ(text.substr(0, kBuildLines.size()), kBuildLines);
    ASSERT_EQ(text.substr(kBuildLines.size(), 9), "@DEVICES ");
    ASSERT_EQ(text.substr(listEnd), kBanner);

    const auto devices = devicesOf(text);
    std::map<std::string, nlohmann::json> byUid;
    for (const auto& device : devices) byUid[device["uid"]] = device;
    EXPECT_FALSE(byUid.contains("lumvar_out"));  // a sink has no input
    ASSERT_TRUE(byUid.contains("lumvar_mic"));
    EXPECT_EQ(byUid["lumvar_mic"]["ch"], 2);
    EXPECT_EQ(byUid["lumvar_mic"]["name"], "Lumvar-Mic");
    EXPECT_EQ(byUid["lumvar_mic"]["default"], true);
    EXPECT_EQ(byUid["lumvar_mono"]["ch"], 1);
    EXPECT_EQ(byUid["lumvar_mono"]["default"], false);
    EXPECT_TRUE(byUid.contains("lumvar_out.monitor"));
    int defaults = 0;
    for (const auto& device : devices) defaults += device["default"] == true;
    EXPECT_EQ(defaults, 1);

    helper.signal(SIGTERM);
    EXPECT_EQ(helper.waitForExit(5s), 0);
}

TEST(CaptureE2E, CommandsSentBeforeStartUpEndedRunInOrderAndEndOfInputChangesNothing) {
    ChildProcess helper = spawnHelper();
    helper.write("bogus one\nINPUT lumvar_mono\r\nlist\nSYSTEM\n");
    helper.closeStdin();
    const std::string all = statusLines(helper.waitForStderr("  > system tap started\n", 10s));
    const std::size_t banner = all.find(kBanner);
    ASSERT_NE(banner, std::string::npos);
    const std::string after = all.substr(banner + kBanner.size());
    const std::size_t unknown = after.find("unknown cmd: bogus one\n");
    const std::size_t input = after.find("  > input capture started: lumvar_mono\n");
    const std::size_t list = after.find("@DEVICES ");
    const std::size_t system = after.find("  > system tap started\n");
    EXPECT_LT(unknown, input);
    EXPECT_LT(input, list);
    EXPECT_LT(list, system);
    EXPECT_NE(system, std::string::npos);

    helper.discardStdout();
    EXPECT_GE(helper.readStdout(8192, 5s).size(), 8192u);  // still streaming with stdin closed
    EXPECT_EQ(helper.waitForExit(100ms), std::nullopt);
    helper.signal(SIGTERM);
    EXPECT_EQ(helper.waitForExit(5s), 0);
    EXPECT_EQ(statusLines(helper.stderrSoFar()), all);  // nothing written on the way out
}

TEST(CaptureE2E, WhatThePlaysReachesStdoutLeftThenRight) {
    ChildProcess helper = spawnHelper();
    waitUntilStreaming(helper);
    const auto frames = captureWhilePlaying(helper, "lumvar_out", stereoTone(1000.0, 1.5, 0.0f), 2.5);  // left only
    const auto left = loudPart(channel(frames, 0));
    ASSERT_GT(left.size(), 24000u) << "no tone captured";
    EXPECT_NEAR(frequency(left, 48000.0), 1000.0, 5.0);
    EXPECT_NEAR(rms(left), 0.5 / std::sqrt(2.0), 0.02);  // a null sink at 100 % passes floats unchanged
    EXPECT_LT(rms(channel(frames, 1)), 1e-4);            // the right stays silent

    helper.signal(SIGINT);
    EXPECT_EQ(helper.waitForExit(5s), 0);
}

TEST(CaptureE2E, InputDeviceArrivesChannelsReversedAndSystemComesBack) {
    ChildProcess helper = spawnHelper();
    waitUntilStreaming(helper);
    helper.write("INPUT lumvar_mic\n");
    helper.waitForStderr("  > input capture started: lumvar_mic\n", 5s);
    // The microphone's left only.
    const auto frames = captureWhilePlaying(helper, "lumvar_mic_sink", stereoTone(600.0, 1.5, 0.0f), 2.5);
    const auto second = loudPart(channel(frames, 1));  // the device's channel 0 comes second
    ASSERT_GT(second.size(), 24000u) << "no tone captured";
    EXPECT_NEAR(frequency(second, 48000.0), 600.0, 5.0);
    EXPECT_LT(rms(channel(frames, 0)), 1e-4);

    helper.write("SYSTEM\n");
    EXPECT_NE(helper.waitForStderr("  > system tap started\n", 5s).find(
                  "  input device 'Lumvar-Mic' channels: 2\n  > input capture started: lumvar_mic\n"
                  "  input device rate: 48000.0\n" +
                  kBuildLines +
                  "  > system tap started\n"),
              std::string::npos);
    helper.signal(SIGTERM);
    EXPECT_EQ(helper.waitForExit(5s), 0);
}

TEST(CaptureE2E, UnknownInputFallsBackToTheSystemTap) {
    ChildProcess helper = spawnHelper();
    waitUntilStreaming(helper);
    helper.write("INPUT no-such-device\n");
    const std::string text = statusLines(helper.waitForStderr("input start failed; restoring system\n" + kBuildLines, 5s));
    EXPECT_NE(text.find(kBanner + "  x input device not found: no-such-device\n"
                                  "  x input start failed; restoring system\n" + kBuildLines),
              std::string::npos);
    helper.signal(SIGTERM);
    EXPECT_EQ(helper.waitForExit(5s), 0);
}

// Record streams of ours on the server, from pactl's listing.
int ourStreams() {
    const std::string listing = run("pactl list source-outputs 2>/dev/null");
    int count = 0;
    for (std::size_t at = listing.find("application.name = \"lumvar-capture\""); at != std::string::npos;
         at = listing.find("application.name = \"lumvar-capture\"", at + 1))
        ++count;
    return count;
}

TEST(CaptureE2E, OneStreamWhileRunningAndNoneAfterEitherSignal) {
    for (const int signal : {SIGTERM, SIGINT}) {
        ChildProcess helper = spawnHelper();
        waitUntilStreaming(helper);
        helper.write("INPUT lumvar_mono\nSYSTEM\n");
        const std::string before = statusLines(helper.waitForStderr("  > system tap started\n", 5s));
        EXPECT_EQ(ourStreams(), 1);
        helper.signal(signal);
        EXPECT_EQ(helper.waitForExit(5s), 0);
        EXPECT_EQ(ourStreams(), 0);
        EXPECT_EQ(statusLines(helper.stderrSoFar()), before);  // nothing written on the way out
    }
}

TEST(CaptureE2E, EndsWhenItsParentOrItsReaderIsGone) {
    {
        ChildProcess orphan = spawnHelper({.arguments = {}, .environment = {}, .orphan = true});
        waitUntilStreaming(orphan);
        orphan.endParent();
        EXPECT_EQ(orphan.waitForExit(6s), 0);
    }
    ChildProcess helper = spawnHelper();
    waitUntilStreaming(helper);
    helper.closeStdout();
    EXPECT_EQ(helper.waitForExit(6s), 0);  // an idle null sink may take 2 s to deliver the first block
    EXPECT_EQ(ourStreams(), 0);
}

TEST(CaptureE2E, NoServerMeansExitOne) {
    ChildProcess helper = spawnHelper({.arguments = {}, .environment = {"PULSE_SERVER=unix:/nonexistent/native"}});
    EXPECT_EQ(helper.waitForExit(10s), 1);
    EXPECT_EQ(helper.stderrSoFar(), "  x get default output failed: 1885564782\ninitial tap build failed\n");
}

TEST(CaptureE2E, AServerThatNeverAnswersIsATimeoutNotAHang) {
    MuteServer mute;
    ChildProcess helper = spawnHelper({.arguments = {}, .environment = {"PULSE_SERVER=unix:" + mute.path}});
    EXPECT_EQ(helper.waitForExit(15s), 1);
    EXPECT_EQ(helper.stderrSoFar(), "  x get default output failed: 1885564782\ninitial tap build failed\n");
}

}  // namespace lumvar::testing
