// The real helper while the sound server's devices change under it, and while the server itself goes
// away and comes back. Latencies are measured and printed; only liveness is asserted.
#include <csignal>
#include <iostream>

#include "e2e/e2e_support.h"

namespace lumvar::testing {

// Reads standard output until a sample louder than `threshold` arrives; how long that took, or -1.
double untilLoud(ChildProcess& helper, Clock::time_point since, std::chrono::seconds limit = 8s) {
    while (Clock::now() - since < limit)
        for (const float value : asFloats(helper.readStdout(4096, 50ms)))
            if (std::fabs(value) > 0.05f) return msSince(since);
    return -1.0;
}

TEST(MachineChangesE2E, MultichannelSinksArriveAtTheLevelParecRecords) {
    for (const int channels : {2, 6, 8}) {
        Module wide("module-null-sink sink_name=lumvar_wide format=float32le rate=48000 channels=" +
                    std::to_string(channels));
        ASSERT_FALSE(wide.id.empty());
        run("pactl set-default-sink lumvar_wide");
        ChildProcess helper(LUMVAR_HELPER_PATH, {});
        EXPECT_NE(waitUntilStreaming(helper).find("  output device channels: " + std::to_string(channels) +
                                                  ", level correction x1.0\n"),
                  std::string::npos);
        helper.readStdout(8, 5s);
        helper.discardStdout();
        ChildProcess theirs =
            parec("lumvar_wide", {"--raw", "--format=float32le", "--channels=2", "--rate=48000"});
        std::string ourBytes, theirBytes;
        {
            Playback tone("lumvar_wide", stereoTone(1000.0, 2.0, 1.0f));
            for (const auto until = Clock::now() + 2500ms; Clock::now() < until;) {
                ourBytes += helper.readStdout(1 << 16, 10ms);
                theirBytes += theirs.readStdout(1 << 16, 10ms);
            }
        }
        const double ourLevel = rms(loudPart(channel(asFloats(ourBytes), 0)));
        const double parecLevel = rms(loudPart(channel(asFloats(theirBytes), 0)));
        std::cout << channels << " channels: rms " << ourLevel << ", parec " << parecLevel << "\n";
        ASSERT_GT(parecLevel, 0.05);
        EXPECT_NEAR(ourLevel / parecLevel, 1.0, 0.02) << channels << " channels";
        endWithSigterm(helper);
        run("pactl set-default-sink lumvar_out");
    }
}

TEST(MachineChangesE2E, TheCaptureFollowsTheDefaultSinkAndFallsBackWhenItsInputGoes) {
    Module temp("module-null-sink sink_name=lumvar_temp format=float32le rate=48000 channels=2");
    ChildProcess helper = streamingHelper();
    helper.readStdout(8, 5s);
    {
        ChildProcess busy = parec("lumvar_mic_sink");
        std::this_thread::sleep_for(2s);
        const auto changed = Clock::now();
        run("pactl set-default-sink lumvar_mic_sink");
        Playback tone("lumvar_mic_sink", stereoTone(1000.0, 2.0, 1.0f));
        helper.discardStdout();
        const double latency = untilLoud(helper, changed);
        std::cout << "default change to its tone on stdout: " << latency << " ms\n";
        EXPECT_GT(latency, 0.0) << "the new default's tone never arrived";
        EXPECT_TRUE(sees(helper, "  ! default output changed - rebuilding\n"));
        EXPECT_TRUE(sees(helper, "  > tap rebuilt\n"));
        run("pactl set-default-sink lumvar_out");
    }
    helper.write("INPUT lumvar_temp.monitor\n");
    ASSERT_TRUE(sees(helper, "  > input capture started: lumvar_temp.monitor\n"));
    temp.unload();
    EXPECT_TRUE(sees(helper, "  x input device lost: lumvar_temp.monitor; restoring system\n" + kBuildLines));
    const auto playing = Clock::now();
    Playback tone("lumvar_out", stereoTone(1000.0, 2.0, 1.0f));
    helper.discardStdout();
    EXPECT_GT(untilLoud(helper, playing), 0.0) << "no system capture after the fall-back";
    endWithSigterm(helper);
}

TEST(MachineChangesE2E, NewSourcesAreAnnouncedListedAtOnceAndRepairedWhenNotUtf8) {
    Module bad(
        "module-null-sink sink_name=lumvar_bad \"sink_properties=device.description=$(printf 'ab\\377cd')\"");
    ChildProcess helper = streamingHelper();
    Module announced("module-remap-source source_name=lumvar_new master=lumvar_mic_sink.monitor");
    EXPECT_TRUE(sees(helper, "  ! input devices changed\n"));
    Module listed("module-remap-source source_name=lumvar_newer master=lumvar_mic_sink.monitor");
    helper.write("LIST\nlist-done\n");  // right away: the answer must already know the new source
    const std::string list = lastDeviceList(helper.waitForStderr("unknown cmd: list-done\n", 5s));
    std::map<std::string, std::string> names;
    for (const auto& device : nlohmann::json::parse(list.substr(9)))
        names[device["uid"]] = device["name"];  // UTF-8 only
    EXPECT_TRUE(names.contains("lumvar_newer") && names.contains("lumvar_new")) << list;
    EXPECT_EQ(names["lumvar_mic"], "Lumvar-Mic");
    if (bad.id.empty())
        std::cout << soundServerKind() << " refuses a description that is not UTF-8\n";
    else
        EXPECT_EQ(names["lumvar_bad.monitor"],
                  "Monitor of ab\xef\xbf\xbd"
                  "cd");
    endWithSigterm(helper);
}

// Whether every line of `text` is one line for Python's str.splitlines() too: no CR, VT, FF, FS, GS,
// RS, NEL, U+2028 or U+2029 anywhere, only the "\n" that ends each line.
bool splitsOnlyAtNewlines(const std::string& text) {
    for (const std::string breaker :
         {"\r", "\x0b", "\x0c", "\x1c", "\x1d", "\x1e", "\xc2\x85", "\xe2\x80\xa8", "\xe2\x80\xa9"})
        if (text.find(breaker) != std::string::npos) return false;
    return true;
}

TEST(MachineChangesE2E, ALineSeparatorInANameIsEscapedInTheListAndReplacedInLines) {
    Module odd(
        "module-null-sink sink_name=lumvar_sep "
        "\"sink_properties=device.description=$(printf 'a\342\200\250b\034c')\"");
    ASSERT_FALSE(odd.id.empty());
    ChildProcess helper = streamingHelper();
    helper.write("LIST\nINPUT lumvar_sep.monitor\n");
    const std::string fffd = "\xef\xbf\xbd";
    const std::string line = "  input device 'Monitor of a" + fffd + "b" + fffd + "c' channels: 2\n";
    const std::string text = helper.waitForStderr("  > input capture started: lumvar_sep.monitor\n", 5s);
    EXPECT_NE(text.find(line), std::string::npos) << text;
    const std::string list = lastDeviceList(text);
    EXPECT_NE(list.find("\"Monitor of a\\u2028b\\u001cc\""), std::string::npos) << list;
    std::map<std::string, std::string> names;
    for (const auto& device : nlohmann::json::parse(list.substr(9))) names[device["uid"]] = device["name"];
    EXPECT_EQ(names["lumvar_sep.monitor"],
              "Monitor of a\xe2\x80\xa8"
              "b\x1c"
              "c");
    EXPECT_TRUE(splitsOnlyAtNewlines(text)) << text;
    endWithSigterm(helper);
}

TEST(MachineChangesE2E, TheServerGoesAndComesBackAndTheCaptureWithIt) {
    ChildProcess helper = streamingHelper();
    const std::string script = LUMVAR_SOUND_SERVER_SCRIPT;
    run(script + " stop " + soundDir());
    EXPECT_TRUE(sees(helper, "  x sound server unreachable\n"));
    const auto asked = Clock::now();
    helper.write("LIST\nlist-done\n");
    const std::string down = helper.waitForStderr("unknown cmd: list-done\n", 5s);
    std::cout << "LIST answered with the server down in " << msSince(asked) << " ms\n";
    EXPECT_EQ(lastDeviceList(down), "@DEVICES []");
    run(script + " start " + soundDir() + " " + soundServerKind() + " >/dev/null");
    const auto back = Clock::now();  // the server and its devices are back
    ChildProcess busy = parec("lumvar_out");
    Playback tone("lumvar_out", stereoTone(1000.0, 3.0, 1.0f));
    helper.discardStdout();
    helper.waitForStderr("  > system tap started\n", 5s);
    const double rebuilt = msSince(back);
    const double firstSample = helper.readStdout(8, 5s).size() == 8 ? msSince(back) : -1.0;
    const double latency = untilLoud(helper, back);
    std::cout << "server back to: the tap started " << rebuilt << " ms, the first sample " << firstSample
              << " ms, the first loud sample " << latency << " ms\n";
    EXPECT_GT(latency, 0.0) << helper.stderrSoFar();
    const std::string text = helper.stderrSoFar();
    EXPECT_EQ(
        occurrences(text, "  > sound server back\n") + occurrences(text, "  x sound server unreachable\n"),
        2u);
    helper.write("LIST\nlist-done-again\n");
    const std::string listed = helper.waitForStderr("unknown cmd: list-done-again\n", 5s);
    EXPECT_NE(lastDeviceList(listed).find("\"uid\":\"lumvar_mic\""), std::string::npos);
    endWithSigterm(helper);
}

// A socket in the server's place that accepts and never answers: the attempt that reaches it is given
// up after the first connection's limit, and the next one finds the real server again.
TEST(MachineChangesE2E, AReconnectionThatIsNeverAnsweredIsGivenUp) {
    ChildProcess helper = streamingHelper();
    const std::string script = LUMVAR_SOUND_SERVER_SCRIPT;
    run(script + " stop " + soundDir());
    EXPECT_TRUE(sees(helper, "  x sound server unreachable\n"));
    MuteServer mute(serverSocket());
    std::this_thread::sleep_for(1s);  // the back-off is at most 0.5 s: an attempt waits on the mute socket
    // Starting anew clears the folder: the mute socket keeps what it holds but loses its name.
    run(script + " start " + soundDir() + " " + soundServerKind() + " >/dev/null");
    mute.path.clear();  // the name is the real server's now: not removed at the end
    const auto back = Clock::now();
    const std::string text = helper.waitForStderr("  > sound server back\n", 15s);
    std::cout << "server back to \"sound server back\" past a mute attempt: " << msSince(back) << " ms\n";
    EXPECT_NE(text.find("  > sound server back\n"), std::string::npos) << text;
    EXPECT_EQ(occurrences(text, "  x sound server unreachable\n"), 1u) << text;
    endWithSigterm(helper);
}

}  // namespace lumvar::testing
