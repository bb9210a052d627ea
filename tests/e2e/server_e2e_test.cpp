// The real helper on each way to the server (libpulse on PulseAudio, PipeWire natively; the path check
// and a restart also through PipeWire's pulse server): what it lists and captures, the server's devices
// and defaults changing under it, and the server going, hanging and coming back. Latencies are printed;
// only liveness is asserted, with room to spare.
#include <csignal>
#include <iostream>
#include <sstream>

#include "e2e/e2e_support.h"

namespace lumvar::testing {

// Record streams of ours on the server, from pactl's listing.
int recordStreams() {
    return static_cast<int>(
        occurrences(run("pactl list source-outputs 2>/dev/null"), "application.name = \"lumvar-capture\""));
}

TEST(ServerE2E, StartsInItsFixedOrderListsTheSourcesAndCapturesLeftThenRightOrAnInputsSecondChannelFirst) {
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

    auto frames = captureWhilePlaying(helper, "lumvar_out", stereoTone(1000.0, 1.5, 0.0f), 2.0);  // left only
    const auto left = loudPart(channel(frames, 0));
    ASSERT_GT(left.size(), 24000u) << "no tone captured";
    EXPECT_NEAR(rms(left), 0.5 / std::sqrt(2.0), 0.02);  // a null sink at 100 % passes floats unchanged
    EXPECT_LT(rms(channel(frames, 1)), 1e-4);
    helper.write("INPUT lumvar_mic\n");
    helper.waitForStderr("  > input capture started: lumvar_mic\n", 5s);
    EXPECT_EQ(recordStreams(), 1);
    frames =
        captureWhilePlaying(helper, "lumvar_mic_sink", stereoTone(600.0, 1.5, 0.0f), 2.0);  // its left only
    ASSERT_GT(loudPart(channel(frames, 1)).size(), 24000u) << "no tone captured";
    EXPECT_LT(rms(channel(frames, 0)), 1e-4);
    endWithSigterm(helper);
    EXPECT_EQ(recordStreams(), 0);
}

TEST(ServerE2E, ASixChannelSinkArrivesAtTheLevelParecRecords) {
    Module wide("module-null-sink sink_name=lumvar_wide format=float32le rate=48000 channels=6");
    ASSERT_FALSE(wide.id.empty());
    run("pactl set-default-sink lumvar_wide");
    // The reference first: a recorder that records nothing judges nothing.
    ChildProcess theirs =
        parec("lumvar_wide", {"--raw", "--format=float32le", "--channels=2", "--rate=48000"});
    ChildProcess helper(LUMVAR_HELPER_PATH, {});
    EXPECT_NE(waitUntilStreaming(helper).find("  output device channels: 6, level correction x1.0\n"),
              std::string::npos);
    helper.readStdout(8, 5s);
    theirs.readStdout(8, 5s);
    helper.discardStdout();
    theirs.discardStdout();
    std::string ourBytes, theirBytes;
    {
        Playback tone("lumvar_wide", stereoTone(1000.0, 2.0, 1.0f));
        for (const auto until = Clock::now() + 2500ms; Clock::now() < until;) {
            ourBytes += helper.readStdout(1 << 16, 10ms);
            theirBytes += theirs.readStdout(1 << 16, 10ms);
        }
    }
    run("pactl set-default-sink lumvar_out");
    const double parecLevel = rms(loudPart(channel(asFloats(theirBytes), 0)));
    ASSERT_GT(parecLevel, 0.05) << "the reference recorded no tone";
    const double ourLevel = rms(loudPart(channel(asFloats(ourBytes), 0)));
    std::cout << "6 channels: rms " << ourLevel << ", parec " << parecLevel << "\n";
    EXPECT_NEAR(ourLevel / parecLevel, 1.0, 0.02);
    endWithSigterm(helper);
}

// A default sink that is also a source (PipeWire's Audio/Duplex) is captured from what it plays, never from
// its own capture side.
TEST(ServerE2E, ADuplexDefaultSinkIsCapturedFromWhatItPlays) {
    Module duplex(
        "module-null-sink sink_name=lumvar_duplex format=float32le rate=48000 channels=2 "
        "sink_properties=media.class=Audio/Duplex");
    ASSERT_FALSE(duplex.id.empty());
    run("pactl set-default-sink lumvar_duplex");
    ChildProcess helper = streamingHelper();
    const auto frames = captureWhilePlaying(helper, "lumvar_duplex", stereoTone(1000.0, 1.0, 1.0f), 1.5);
    run("pactl set-default-sink lumvar_out");
    EXPECT_GT(loudPart(channel(frames, 0)).size(), 24000u) << helper.stderrSoFar();
    endWithSigterm(helper);
}

TEST(ServerE2E, TheCaptureFollowsTheDefaultSinkAndFallsBackWhenItsInputGoes) {
    Module temp("module-null-sink sink_name=lumvar_temp format=float32le rate=48000 channels=2");
    ChildProcess helper = streamingHelper();
    helper.readStdout(8, 5s);
    {
        ChildProcess busy = parec("lumvar_mic_sink");
        busy.readStdout(8, 5s);  // rendering
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
        tone.stop();
    }
    helper.write("INPUT lumvar_temp.monitor\n");
    ASSERT_TRUE(sees(helper, "  > input capture started: lumvar_temp.monitor\n"));
    temp.unload();
    EXPECT_TRUE(sees(helper, "  x input device lost: lumvar_temp.monitor; restoring system\n" + kBuildLines));
    EXPECT_GT(untilAudio(helper, 8s), 0.0) << "no system capture after the fall-back";
    endWithSigterm(helper);
}

TEST(ServerE2E, NewSourcesAreAnnouncedListedAtOnceAndRepairedWhenNotUtf8) {
    Module bad(
        "module-null-sink sink_name=lumvar_bad \"sink_properties=device.description=$(printf 'ab\\377cd')\"");
    ChildProcess helper = streamingHelper();
    Module announced("module-remap-source source_name=lumvar_new master=lumvar_mic_sink.monitor");
    EXPECT_TRUE(sees(helper, "  ! input devices changed\n"));
    Module listed("module-remap-source source_name=lumvar_newer master=lumvar_mic_sink.monitor");
    helper.write("LIST\nlist-done\n");  // right away: the answer must already know the new source
    const std::string list = lastDeviceList(helper.waitForStderr("unknown cmd: list-done\n", 5s));
    std::map<std::string, std::string> names;
    for (const auto& device : nlohmann::json::parse(list.substr(9))) names[device["uid"]] = device["name"];
    EXPECT_TRUE(names.contains("lumvar_newer") && names.contains("lumvar_new")) << list;
    if (bad.id.empty())
        std::cout << soundServerKind() << " refuses a description that is not UTF-8\n";
    else
        EXPECT_EQ(names["lumvar_bad.monitor"],
                  "Monitor of ab\xef\xbf\xbd"
                  "cd");
    endWithSigterm(helper);
}

// The server goes; a socket in its place accepts and never answers; the real server comes back: the
// attempt on the mute socket is given up after the first connection's limit, and the capture returns.
TEST(ServerE2E, TheServerGoesAndComesBackPastAnAttemptThatIsNeverAnswered) {
    ChildProcess helper = streamingHelper();
    run(serverCommand("stop"));
    EXPECT_TRUE(sees(helper, "  x sound server unreachable\n"));
    const auto asked = Clock::now();
    helper.write("LIST\nlist-done\n");
    const std::string down = helper.waitForStderr("unknown cmd: list-done\n", 5s);
    std::cout << "LIST answered with the server down in " << msSince(asked) << " ms\n";
    EXPECT_EQ(lastDeviceList(down), "@DEVICES []");
    {
        MuteServer mute(soundDir() + (kSoundMode == "pipewire-native" ? "/runtime/pipewire-0" : "/native"));
        std::this_thread::sleep_for(
            1s);  // the back-off is at most 0.5 s: an attempt waits on the mute socket
        // Starting anew clears the folder: the mute socket keeps what it holds but loses its name.
        run(serverCommand("start"));
        mute.path.clear();  // the name is the real server's now: not removed at the end
        const auto back = Clock::now();
        helper.waitForStderr("  > sound server back\n", 15s);
        std::cout << "server back to \"sound server back\" past a mute attempt: " << msSince(back) << " ms\n";
    }
    const double latency = untilAudio(helper, 10s);
    std::cout << "\"sound server back\" to the first loud sample: " << latency << " ms\n";
    EXPECT_GT(latency, 0.0) << helper.stderrSoFar();
    helper.write("LIST\nlist-done-again\n");
    const std::string text = helper.waitForStderr("unknown cmd: list-done-again\n", 5s);
    EXPECT_NE(lastDeviceList(text).find("\"uid\":\"lumvar_mic\""), std::string::npos);
    EXPECT_EQ(occurrences(text, "  x sound server unreachable\n"), 1u) << text;
    EXPECT_EQ(occurrences(text, "  > sound server back\n"), 1u) << text;
    endWithSigterm(helper);
}

TEST(ServerE2E, AServerThatHangsLongerThanItsRequestsGetsTheAudioBackWhenItAnswers) {
    ChildProcess helper = streamingHelper();
    ASSERT_GT(untilAudio(helper, 10s), 0.0);
    {
        ServerPause hung;
        // A stall is seen within 3 s and a tick; the rebuild's request then waits out its 3 s.
        const std::string text = helper.waitForStderr("  x rebuild failed; retrying next tick\n", 12s);
        EXPECT_NE(text.find("  ! tap stalled - rebuilding\n"), std::string::npos) << text;
    }
    const auto resumed = Clock::now();
    const double took = untilAudio(helper, 20s);
    std::cout << "audio again " << took << " ms after a hung server went on\n";
    ASSERT_GT(took, 0.0) << helper.stderrSoFar();
    EXPECT_LT(msSince(resumed), 20000.0);
    EXPECT_NE(helper.stderrSoFar().find("  > tap rebuilt\n"), std::string::npos);
    endWithSigterm(helper);
}

TEST(ServerE2E, AParentThatNeverReadsStandardErrorGetsItsAudioThroughEveryStartAndDefaultChange) {
    Module other("module-null-sink sink_name=lumvar_flip format=float32le rate=48000 channels=2");
    ASSERT_FALSE(other.id.empty());
    ChildProcess keepOut = parec("lumvar_out"), keepFlip = parec("lumvar_flip");  // both keep rendering
    ChildProcess helper = streamingHelper();
    ASSERT_EQ(helper.readStdout(8, 5s).size(), 8u);  // gaps count from the first audio on
    helper.pauseStderr(true);
    // Two answers of 40 KB fill standard error's pipe; then every start of a source has a line to wait for.
    helper.write(std::string(40000, 'x') + "\n" + std::string(40000, 'y') + "\n");
    std::atomic<bool> flipping{true};
    std::thread flips([&] {
        for (int i = 0; i < 500; ++i) {
            run(std::string("pactl set-default-sink ") + (i % 2 ? "lumvar_out" : "lumvar_flip"));
            std::this_thread::sleep_for(5ms);
        }
        run("pactl set-default-sink lumvar_out");
        flipping = false;
    });
    // Gaps measured to the end of the run, and 2 s past the last change: audio that stops for good is one
    // long last gap.
    double longestGapMs = 0.0;
    std::size_t bytes = 0;
    const auto began = Clock::now();
    auto last = began, end = began + 1h;
    for (int systems = 0; Clock::now() < end;) {
        if (systems++ < 100) helper.write("SYSTEM\n");
        const std::size_t got = helper.readStdout(1 << 20, 20ms).size();
        longestGapMs = std::max(longestGapMs, msSince(last));
        if (!flipping && end > Clock::now() + 2s) end = Clock::now() + 2s;
        if (got == 0) continue;
        bytes += got;
        last = Clock::now();
    }
    flips.join();
    // Every rebuild loses the moments between its old stream and its new one; nothing else is lost.
    const double share = static_cast<double>(bytes) / 8 / 48000 / (msSince(began) / 1000);
    std::cout << "100 SYSTEM and 500 default changes, standard error unread: " << share * 100
              << " % of the time's frames, longest gap " << longestGapMs << " ms\n";
    EXPECT_LT(longestGapMs, 3000.0);
    EXPECT_GT(share, 0.5);
    helper.pauseStderr(false);
    helper.write("LIST\nlist-done\n");
    const std::string text = helper.waitForStderr("unknown cmd: list-done\n", 10s);
    EXPECT_NE(text.find("unknown cmd: list-done\n"), std::string::npos);
    EXPECT_EQ(text.find("output backlog"), std::string::npos) << "audio dropped for an unread standard error";
    endWithSigterm(helper);
}

// The helper's clients on the server, each as its name and whether it speaks PipeWire's own protocol. On
// PipeWire the graph says, read over its native socket whatever the mode: a native client's pid is its
// socket's peer, a pulse client's the one it sent. On PulseAudio, pactl's list.
std::vector<std::pair<std::string, bool>> connectionsOf(pid_t pid) {
    const auto text = [](const nlohmann::json& object, const char* key) {  // pw-dump writes numbers
        const auto at = object.find(key);
        return at == object.end() ? std::string() : at->is_string() ? at->get<std::string>() : at->dump();
    };
    const bool pulseaudio = soundServerKind() == "pulseaudio";
    const auto all = nlohmann::json::parse(
        run(pulseaudio ? "pactl -f json list clients"
                       : "PIPEWIRE_REMOTE=" + soundDir() + "/runtime/pipewire-0 pw-dump"),
        nullptr, false);
    std::vector<std::pair<std::string, bool>> found;
    for (const auto& object : all.is_array() ? all : nlohmann::json::array()) {
        const auto properties =
            pulseaudio
                ? object.value("properties", nlohmann::json::object())
                : object.value("info", nlohmann::json::object()).value("props", nlohmann::json::object());
        const bool pulse = pulseaudio || text(properties, "client.api") == "pipewire-pulse";
        if ((pulseaudio || object.value("type", "") == "PipeWire:Interface:Client") &&
            text(properties, pulse ? "application.process.id" : "pipewire.sec.pid") == std::to_string(pid))
            found.emplace_back(text(properties, "application.name"),
                               !pulse && text(properties, "pipewire.protocol") == "protocol-native");
    }
    return found;
}

// Each mode runs on its own path, read from the server's own list of clients: a mode whose environment
// never reached the helper would pass every other test on the wrong one.
TEST(ServerE2E, TheHelperReachesTheServerTheWayItsModeSays) {
    const bool native = kSoundMode == "pipewire-native";
    EXPECT_EQ(std::getenv("PIPEWIRE_REMOTE"), soundDir() + (native ? "/runtime/pipewire-0" : "/no-pipewire"));
    const auto info =
        nlohmann::json::parse(run("pactl -f json info"), nullptr, false);  // the mode's kind of server
    EXPECT_EQ(info.value("server_name", "").find("PipeWire") != std::string::npos,
              soundServerKind() == "pipewire");
    // A parent that names a pulse server and no PipeWire daemon gets that server, though a daemon's socket
    // lies in the runtime directory.
    const bool named = kSoundMode == "pipewire-pulse";
    ChildProcess helper = streamingHelper(
        named ? std::vector<std::string>{"PIPEWIRE_REMOTE=", "XDG_RUNTIME_DIR=" + soundDir() + "/runtime"}
              : std::vector<std::string>{});
    std::vector<std::pair<std::string, bool>> connections;
    for (const auto until = Clock::now() + 5s;
         (connections = connectionsOf(helper.pid())).empty() && Clock::now() < until;)
        helper.readStdout(1 << 20, 100ms);
    ASSERT_FALSE(connections.empty()) << "no client of the helper's on the server";
    for (const auto& [name, isNative] : connections) {
        std::cout << kSoundMode << ": the helper's client \"" << name << "\" ("
                  << (isNative ? "native" : "pulse") << ")\n";
        EXPECT_EQ(name, "lumvar-capture");
        EXPECT_EQ(isNative, native);
    }
    endWithSigterm(helper);
}

}  // namespace lumvar::testing
