// The real helper on each way to the server. Latencies are printed; only liveness is asserted.
#include <iostream>

#include "e2e/e2e_support.h"

namespace lumvar::testing {

TEST(ServerE2E, StartsInOrderCapturesEachSourceInItsChannelsAndFollowsTheMachineWithStandardErrorUnread) {
    // Sinks beyond the server's own: one that is also a source (PipeWire's Audio/Duplex), one of six
    // channels, and one whose monitor goes away.
    Module duplex(
        "module-null-sink sink_name=lumvar_duplex format=float32le rate=48000 channels=2 "
        "sink_properties=media.class=Audio/Duplex");
    Module wide("module-null-sink sink_name=lumvar_wide format=float32le rate=48000 channels=6");
    Module temp("module-null-sink sink_name=lumvar_temp format=float32le rate=48000 channels=2");
    ASSERT_FALSE(duplex.id.empty() || wide.id.empty() || temp.id.empty());
    ChildProcess keepOut = parec("lumvar_out"), keepWide = parec("lumvar_wide"), helper(LUMVAR_HELPER_PATH);
    const std::string all = waitUntilStreaming(helper);
    // The build's lines, the device list, the banner: nothing else (not even the layout diagnostic of
    // the first IO cycle, which waits for the main queue) and in this order.
    const std::string text = all.substr(0, all.find(kBanner) + kBanner.size());
    ASSERT_EQ(text.substr(0, kBuildLines.size() + 9), kBuildLines + "@DEVICES ");
    ASSERT_EQ(text.substr(text.find('\n', kBuildLines.size()) + 1), kBanner);
    const std::string devices = lastDeviceList(text);
    for (const char* device : {R"({"uid":"lumvar_mic","name":"Lumvar-Mic","ch":2,"default":true})",
                               R"({"uid":"lumvar_mono","name":"Lumvar-Mono","ch":1,"default":false})",
                               R"("uid":"lumvar_out.monitor")"})
        EXPECT_NE(devices.find(device), std::string::npos) << device << " in " << devices;
    EXPECT_EQ(devices.find(R"("uid":"lumvar_out")"), std::string::npos);  // a sink has no input: its monitor

    auto frames = captureWhilePlaying(helper, "lumvar_out", stereoTone(1000.0, 1.5, 0.0f), 2.0);  // left only
    const auto left = loudPart(channel(frames, 0));
    ASSERT_GT(left.size(), 24000u) << "no tone captured";
    EXPECT_NEAR(rms(left), 0.5 / std::sqrt(2.0), 0.02);  // a null sink at 100 % passes floats unchanged
    EXPECT_LT(rms(channel(frames, 1)), 1e-4);

    Module announced("module-remap-source source_name=lumvar_new master=lumvar_mic_sink.monitor");
    EXPECT_TRUE(sees(helper, "  ! input devices changed\n"));
    Module listed("module-remap-source source_name=lumvar_newer master=lumvar_mic_sink.monitor");
    helper.write("LIST\nlist-done\n");  // right away: the answer must already know the new source
    const std::string list = lastDeviceList(helper.waitForStderr("unknown cmd: list-done\n", 5s));
    for (const char* uid : {"\"uid\":\"lumvar_new\"", "\"uid\":\"lumvar_newer\""})
        EXPECT_NE(list.find(uid), std::string::npos) << list;

    // The default sink moves to one that is also a source: the tap is rebuilt there, on what it plays.
    run("pactl set-default-sink lumvar_duplex");
    const double latency = untilAudio(helper, 8s, "lumvar_duplex");
    std::cout << "default change to its tone on stdout: " << latency << " ms\n";
    EXPECT_GT(latency, 0.0) << "the new default's tone never arrived\n" << helper.stderrSoFar();
    EXPECT_TRUE(
        sees(helper, "  ! default output changed - rebuilding\n" + kBuildLines + "  > tap rebuilt\n"));
    // Then to six channels: the server's stereo monitor carries the played level already (as parec records
    // it: a 0.5 sine's RMS).
    run("pactl set-default-sink lumvar_wide");
    EXPECT_TRUE(sees(helper, "  output device channels: 6, level correction x1.0\n"));
    frames = captureWhilePlaying(helper, "lumvar_wide", stereoTone(1000.0, 1.5, 1.0f), 2.0);
    run("pactl set-default-sink lumvar_out");
    EXPECT_NEAR(rms(loudPart(channel(frames, 0))), 0.5 / std::sqrt(2.0), 0.02);

    // An input is recorded with its second channel first, and the tap's stream goes.
    helper.write("INPUT lumvar_mic\n");
    helper.waitForStderr("  > input capture started: lumvar_mic\n", 5s);
    EXPECT_EQ(occurrences(run("pactl list source-outputs"), "application.name = \"lumvar-capture\""), 1u);
    frames = captureWhilePlaying(helper, "lumvar_mic_sink", stereoTone(600.0, 1.5, 0.0f), 2.0);  // left only
    ASSERT_GT(loudPart(channel(frames, 1)).size(), 24000u) << "no tone captured";
    EXPECT_LT(rms(channel(frames, 0)), 1e-4);
    helper.write("INPUT lumvar_temp.monitor\n");
    ASSERT_TRUE(sees(helper, "  > input capture started: lumvar_temp.monitor\n"));
    temp.unload();
    EXPECT_TRUE(sees(helper, "  x input device lost: lumvar_temp.monitor; restoring system\n" + kBuildLines));
    EXPECT_GT(untilAudio(helper, 8s), 0.0) << "no system capture after the fall-back";

    // Standard error unread: two answers of 40 KB fill its pipe; then every start of a source, by 100
    // SYSTEMs and 500 default changes, has a line to wait for.
    helper.pauseStderr(true);
    helper.write(std::string(40000, 'x') + "\n" + std::string(40000, 'y') + "\n");
    std::atomic<bool> flipping{true};
    std::thread flips([&] {
        for (int i = 0; i < 500; ++i, std::this_thread::sleep_for(5ms))
            run(std::string("pactl set-default-sink ") + (i % 2 ? "lumvar_out" : "lumvar_wide"));
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
        if (got > 0) bytes += got, last = Clock::now();
    }
    flips.join();
    // Every rebuild loses the moments between its old stream and its new one; nothing else is lost.
    const double share = static_cast<double>(bytes) / 8 / 48000 / (msSince(began) / 1000);
    std::cout << "100 SYSTEM and 500 default changes, standard error unread: " << share * 100
              << " % of the time's frames, longest gap " << longestGapMs << " ms\n";
    EXPECT_LT(longestGapMs, 3000.0);
    EXPECT_GT(share, 0.5);
    helper.pauseStderr(false);
    helper.write("LIST\nlist-done-again\n");
    EXPECT_TRUE(sees(helper, "unknown cmd: list-done-again\n", 10s));
    EXPECT_EQ(helper.stderrSoFar().find("output backlog"), std::string::npos)
        << "audio dropped for an unread stderr";
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
    const double took = untilAudio(helper, 20s);
    std::cout << "audio again " << took << " ms after a hung server went on\n";
    ASSERT_GT(took, 0.0) << helper.stderrSoFar();
    EXPECT_NE(helper.stderrSoFar().find("  > tap rebuilt\n"), std::string::npos);
    endWithSigterm(helper);
}

// A mode whose environment never reached the helper would pass every other test on the wrong path: the
// server's own list of clients says (on PipeWire the graph, read over its native socket whatever the mode).
// Then the server goes; a socket in its place accepts and never answers; the real server comes back.
TEST(ServerE2E, TheHelperReachesTheServerTheWayItsModeSaysAndGetsItBackPastAnAttemptThatIsNeverAnswered) {
    const bool native = kSoundMode == "pipewire-native";
    EXPECT_EQ(std::getenv("PIPEWIRE_REMOTE"), kSoundDir + (native ? "/runtime/pipewire-0" : "/no-pipewire"));
    const auto info = nlohmann::json::parse(run("pactl -f json info"), nullptr, false);  // the mode's server
    EXPECT_EQ(info.value("server_name", "").find("PipeWire") == std::string::npos, kPulseAudio);
    // A parent that names a pulse server and no PipeWire daemon gets that server, though a daemon's socket
    // lies in the runtime directory.
    ChildProcess helper = streamingHelper(
        kSoundMode == "pipewire-pulse"
            ? std::vector<std::string>{"PIPEWIRE_REMOTE=", "XDG_RUNTIME_DIR=" + kSoundDir + "/runtime"}
            : std::vector<std::string>{});
    const auto text = [](const nlohmann::json& properties, const char* key) {  // pw-dump writes numbers
        const auto value = properties.value(key, nlohmann::json());
        return value.is_string() ? value.get<std::string>() : value.dump();
    };
    int clients = 0;
    for (const auto until = Clock::now() + 5s; clients == 0 && Clock::now() < until;) {
        helper.readStdout(1 << 20, 100ms);
        const auto all = nlohmann::json::parse(
            run(kPulseAudio ? "pactl -f json list clients"
                            : "PIPEWIRE_REMOTE=" + kSoundDir + "/runtime/pipewire-0 pw-dump"),
            nullptr, false);
        for (const auto& object : all.is_array() ? all : nlohmann::json::array()) {
            const auto properties =
                object.value(nlohmann::json::json_pointer(kPulseAudio ? "/properties" : "/info/props"),
                             nlohmann::json::object());
            const bool pulse = kPulseAudio || text(properties, "client.api") == "pipewire-pulse";
            if ((!kPulseAudio && object.value("type", "") != "PipeWire:Interface:Client") ||
                text(properties, pulse ? "application.process.id" : "pipewire.sec.pid") !=
                    std::to_string(helper.pid()))
                continue;
            ++clients;
            EXPECT_EQ(text(properties, "application.name"), "lumvar-capture");
            EXPECT_EQ(!pulse && text(properties, "pipewire.protocol") == "protocol-native", native);
        }
    }
    EXPECT_GT(clients, 0) << "no client of the helper's on the server";

    run(serverCommand("stop"));
    EXPECT_TRUE(sees(helper, "  x sound server unreachable\n"));
    const auto asked = Clock::now();
    helper.write("LIST\nlist-done\n");
    const std::string down = helper.waitForStderr("unknown cmd: list-done\n", 5s);
    std::cout << "LIST answered with the server down in " << msSince(asked) << " ms\n";
    EXPECT_NE(down.find("@DEVICES []\n"), std::string::npos) << down;
    {
        MuteServer mute(kSoundDir + (native ? "/runtime/pipewire-0" : "/native"));
        std::this_thread::sleep_for(
            1s);  // the back-off is at most 0.5 s: an attempt waits on the mute socket
        // Starting anew clears the folder: the mute socket keeps what it holds but loses its name.
        run(serverCommand("start"));
        mute.path.clear();  // the name is the real server's now: not removed at the end
        const auto back = Clock::now();
        // An attempt is given up after 5 s: one without a limit would wait on the mute socket for good.
        EXPECT_TRUE(sees(helper, "  > sound server back\n", 10s)) << helper.stderrSoFar();
        std::cout << "server back to \"sound server back\" past a mute attempt: " << msSince(back) << " ms\n";
    }
    const double latency = untilAudio(helper, 10s);
    std::cout << "\"sound server back\" to the first loud sample: " << latency << " ms\n";
    EXPECT_GT(latency, 0.0) << helper.stderrSoFar();
    helper.write("LIST\nlist-done-again\n");
    const std::string again = helper.waitForStderr("unknown cmd: list-done-again\n", 5s);
    EXPECT_NE(lastDeviceList(again).find("\"uid\":\"lumvar_mic\""), std::string::npos);
    EXPECT_EQ(occurrences(again, "  x sound server unreachable\n"), 1u) << again;
    EXPECT_EQ(occurrences(again, "  > sound server back\n"), 1u) << again;
    endWithSigterm(helper);
}

}  // namespace lumvar::testing
