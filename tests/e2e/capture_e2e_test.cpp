// The real helper against a real sound server (started by the test fixture of CTest; see
// scripts/sound-server for its devices): the protocol from start to end.
#include <csignal>

#include "e2e/e2e_support.h"

namespace lumvar::testing {

TEST(CaptureE2E, StartsInItsFixedOrderAndListsTheServersSources) {
    ChildProcess helper(LUMVAR_HELPER_PATH, {});
    const std::string all = waitUntilStreaming(helper);
    // The build's lines, the device list, the banner: nothing else (not even the layout diagnostic of
    // the first IO cycle, which waits for the main queue) and in this order.
    const std::string text = all.substr(0, all.find(kBanner) + kBanner.size());
    ASSERT_EQ(text.substr(0, kBuildLines.size() + 9), kBuildLines + "@DEVICES ");
    ASSERT_EQ(text.substr(text.find('\n', kBuildLines.size()) + 1), kBanner);
    std::map<std::string, nlohmann::json> byUid;
    for (const auto& device : nlohmann::json::parse(lastDeviceList(text).substr(9)))
        byUid[device["uid"]] = device;
    EXPECT_FALSE(byUid.contains("lumvar_out"));  // a sink has no input; its monitor has
    EXPECT_TRUE(byUid.contains("lumvar_out.monitor"));
    EXPECT_EQ(byUid["lumvar_mic"],
              nlohmann::json::parse(R"({"uid":"lumvar_mic","name":"Lumvar-Mic","ch":2,"default":true})"));
    EXPECT_EQ(byUid["lumvar_mono"]["ch"], 1);
    endWithSigterm(helper);
}

TEST(CaptureE2E, CommandsSentBeforeStartUpEndedRunInOrderAndEndOfInputChangesNothing) {
    ChildProcess helper(LUMVAR_HELPER_PATH, {});
    helper.write("bogus one\nINPUT lumvar_mono\r\nlist\nSYSTEM\n");
    helper.closeStdin();
    const std::string all = helper.waitForStderr("  > system tap started\n", 10s);
    const std::string after = all.substr(all.find(kBanner) + kBanner.size());
    std::size_t at = 0;
    for (const char* line : {"unknown cmd: bogus one\n", "  > input capture started: lumvar_mono\n",
                             "@DEVICES ", "  > system tap started\n"})
        EXPECT_NE(at = after.find(line, at), std::string::npos) << line;
    helper.discardStdout();
    EXPECT_GE(helper.readStdout(8192, 5s).size(), 8192u);  // still streaming with stdin closed
    std::this_thread::sleep_for(100ms);  // the first cycle's layout lines come through the main queue
    const std::string before = helper.stderrSoFar();
    endWithSigterm(helper);
    EXPECT_EQ(helper.stderrSoFar(), before);  // nothing written on the way out
}

TEST(CaptureE2E, WhatPlaysArrivesLeftThenRightAndAnInputDeviceSecondChannelFirst) {
    ChildProcess helper = streamingHelper();
    auto frames = captureWhilePlaying(helper, "lumvar_out", stereoTone(1000.0, 1.5, 0.0f), 2.5);  // left only
    const auto left = loudPart(channel(frames, 0));
    ASSERT_GT(left.size(), 24000u) << "no tone captured";
    EXPECT_NEAR(rms(left), 0.5 / std::sqrt(2.0), 0.02);  // a null sink at 100 % passes floats unchanged
    EXPECT_LT(rms(channel(frames, 1)), 1e-4);
    helper.write("INPUT lumvar_mic\n");
    helper.waitForStderr("  > input capture started: lumvar_mic\n", 5s);
    frames =
        captureWhilePlaying(helper, "lumvar_mic_sink", stereoTone(600.0, 1.5, 0.0f), 2.5);  // its left only
    const auto second = loudPart(channel(frames, 1));
    ASSERT_GT(second.size(), 24000u) << "no tone captured";
    EXPECT_LT(rms(channel(frames, 0)), 1e-4);
    helper.signal(SIGINT);
    EXPECT_EQ(helper.waitForExit(5s), 0);
}

// Record streams of ours on the server, from pactl's listing.
int ourStreams() {
    const std::string listing = run("pactl list source-outputs 2>/dev/null");
    int count = 0;
    const std::string ours = "application.name = \"lumvar-capture\"";
    for (auto at = listing.find(ours); at != std::string::npos; at = listing.find(ours, at + 1)) ++count;
    return count;
}

TEST(CaptureE2E, OneStreamWhileRunningAndNoneAfterAnyEnd) {
    for (const int signal : {SIGTERM, SIGINT}) {
        ChildProcess helper = streamingHelper();
        helper.write("INPUT lumvar_mono\nSYSTEM\n");
        helper.waitForStderr("  > system tap started\n", 5s);
        EXPECT_EQ(ourStreams(), 1);
        helper.signal(signal);
        EXPECT_EQ(helper.waitForExit(5s), 0);
        EXPECT_EQ(ourStreams(), 0);
    }
    ChildProcess orphan =
        ChildProcess(LUMVAR_HELPER_PATH, {.arguments = {}, .environment = {}, .orphan = true});
    waitUntilStreaming(orphan);
    orphan.endParent();
    EXPECT_EQ(orphan.waitForExit(6s), 0);
    ChildProcess unread = streamingHelper();
    unread.closeStdout();
    EXPECT_EQ(unread.waitForExit(6s), 0);  // an idle null sink may take 2 s to deliver the first block
    EXPECT_EQ(ourStreams(), 0);
}

pid_t onlyChildOf(pid_t parent) {
    std::ifstream children("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) +
                           "/children");
    pid_t child = 0;
    children >> child;
    return child;
}

TEST(CaptureE2E, AParentThatWasProcessOneFromTheStartIsNoParentGone) {
    // In a PID namespace of its own the shell is process 1, as a container's init is.
    ChildProcess box("/usr/bin/unshare", {.arguments = {"--pid", "--fork", "/bin/sh", "-c", "\"$0\"; exit $?",
                                                        LUMVAR_HELPER_PATH},
                                          .environment = {}});
    waitUntilStreaming(box);
    std::this_thread::sleep_for(4500ms);  // two ticks of the watchdog, two looks of the deadline's thread
    box.discardStdout();
    EXPECT_EQ(box.readStdout(8, 5s).size(), 8u) << "the helper took process 1 for a parent that has gone";
    const pid_t helper = onlyChildOf(onlyChildOf(box.pid()));
    ASSERT_GT(helper, 0);
    ::kill(helper, SIGTERM);
    EXPECT_EQ(box.waitForExit(5s), 0);
}

TEST(CaptureE2E, NoServerOrOneThatNeverAnswersMeansExitOneAndASignalMeanwhileEndsItAtOnce) {
    MuteServer mute;
    // Neither PipeWire natively nor the pulse protocol: the helper tries both (5 s each when mute).
    for (const std::string& server : std::vector<std::string>{"/nonexistent/native", mute.path}) {
        ChildProcess helper = ChildProcess(
            LUMVAR_HELPER_PATH,
            {.arguments = {}, .environment = {"PULSE_SERVER=unix:" + server, "PIPEWIRE_REMOTE=" + server}});
        EXPECT_EQ(helper.waitForExit(15s), 1) << server;
        EXPECT_EQ(helper.stderrSoFar(),
                  "  x get default output failed: 1885564782\ninitial tap build failed\n");
    }
    for (const int signal :
         {SIGTERM, SIGINT}) {  // start-up hangs on the mute server: no clean-up to wait for
        ChildProcess helper(LUMVAR_HELPER_PATH, {.arguments = {},
                                                 .environment = {"PULSE_SERVER=unix:" + mute.path,
                                                                 "PIPEWIRE_REMOTE=" + mute.path}});
        std::this_thread::sleep_for(500ms);
        helper.signal(signal);
        EXPECT_EQ(helper.waitForExit(3s), std::nullopt);
        EXPECT_EQ(helper.deathSignal(), signal);
        EXPECT_EQ(helper.stderrSoFar(), "");
    }
}

}  // namespace lumvar::testing
