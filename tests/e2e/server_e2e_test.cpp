// The real helper on each way to the server (libpulse on PulseAudio, PipeWire natively; the path check
// and a restart also through PipeWire's pulse server): what it lists and captures, the server's devices
// and defaults changing under it, and the server going, hanging and coming back. Latencies are printed;
// only liveness is asserted, with room to spare.
#include <sys/stat.h>

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
        MuteServer mute(serverSocket());
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

TEST(ServerE2E, AServerKilledTheMomentTheTapStartsComesBackWithTheAudio) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr int kRestarts = 3;
#else
    constexpr int kRestarts = 6;
#endif
    ChildProcess helper = streamingHelper();
    std::vector<double> recovered;
    for (int round = 0; round < kRestarts; ++round) {
        run(serverCommand("stop"));
        ASSERT_TRUE(sees(helper, "  x sound server unreachable\n")) << "round " << round;
        const std::size_t before = helper.stderrSoFar().size();
        run(serverCommand("start"));
        // The moment the tap starts after the server's return, the server goes again.
        for (const auto until = Clock::now() + 10s; Clock::now() < until;) {
            const std::string text = helper.stderrSoFar().substr(before);
            const auto back = text.find("  > sound server back\n");
            if (back != std::string::npos && text.find("  > system tap started\n", back) != std::string::npos)
                break;
            helper.readStdout(1 << 16, 5ms);
        }
        run(serverCommand("stop"));
        run(serverCommand("start"));
        const double took = untilAudio(helper, 15s);
        ASSERT_GT(took, 0.0) << "round " << round << ": no audio after the server's return\n"
                             << helper.stderrSoFar().substr(before);
        recovered.push_back(took);
    }
    std::sort(recovered.begin(), recovered.end());
    std::cout << kRestarts << " restarts at the tap's start: audio again after " << recovered.front()
              << " to " << recovered.back() << " ms (median " << recovered[recovered.size() / 2] << ")\n";
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

// Which way the helper reached the server, read from the server's own list of clients: each mode of the
// suite must run on its own path (a mode whose environment never reached the helper would pass every
// other test on the wrong one). On PipeWire the graph says, read over its native socket whatever the
// mode: a native client's pid is its socket's peer, a pulse client's the one it sent. On PulseAudio,
// pactl's list.
struct Connection {
    std::string name;
    bool native = false;  // PipeWire's own protocol, not a pulse client
};
std::vector<Connection> connectionsOf(pid_t pid) {
    const std::string id = std::to_string(pid);
    const auto text = [](const nlohmann::json& properties, const char* key) {  // pw-dump writes numbers
        const auto at = properties.find(key);
        if (at == properties.end()) return std::string();
        return at->is_string() ? at->get<std::string>() : at->dump();
    };
    std::vector<Connection> found;
    if (soundServerKind() == "pulseaudio") {
        const auto clients = nlohmann::json::parse(run("pactl -f json list clients"), nullptr, false);
        for (const auto& client : clients.is_array() ? clients : nlohmann::json::array())
            if (text(client.value("properties", nlohmann::json::object()), "application.process.id") == id)
                found.push_back({text(client["properties"], "application.name"), false});
        return found;
    }
    const auto graph = nlohmann::json::parse(
        run("PIPEWIRE_REMOTE=" + soundDir() + "/runtime/pipewire-0 pw-dump"), nullptr, false);
    for (const auto& object : graph.is_array() ? graph : nlohmann::json::array()) {
        if (object.value("type", "") != "PipeWire:Interface:Client" || !object["info"].is_object()) continue;
        const auto properties = object["info"].value("props", nlohmann::json::object());
        const bool pulse = text(properties, "client.api") == "pipewire-pulse" ||
                           text(properties, "pipewire.protocol") == "protocol-pulse";
        const bool native = !pulse && text(properties, "pipewire.protocol") == "protocol-native";
        if (text(properties, pulse ? "application.process.id" : "pipewire.sec.pid") == id)
            found.push_back({text(properties, "application.name"), native});
    }
    return found;
}

std::string environmentOf(pid_t pid, const std::string& name) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/environ");
    for (std::string entry; std::getline(file, entry, '\0');)
        if (entry.starts_with(name + "=")) return entry.substr(name.size() + 1);
    return "(unset)";
}

TEST(ServerE2E, TheHelperReachesTheServerTheWayItsModeSays) {
    ChildProcess helper = streamingHelper();
    ASSERT_EQ(helper.readStdout(8, 5s).size(), 8u) << helper.stderrSoFar();
    const bool native = soundMode() == "pipewire-native";
    // The mode's environment reached the helper: the native socket given, or hidden behind one that
    // does not exist.
    const std::string remote = environmentOf(helper.pid(), "PIPEWIRE_REMOTE");
    struct stat status {};
    EXPECT_EQ(remote, soundDir() + (native ? "/runtime/pipewire-0" : "/no-pipewire"));
    EXPECT_EQ(::stat(remote.c_str(), &status) == 0 && S_ISSOCK(status.st_mode), native) << remote;
    EXPECT_EQ(environmentOf(helper.pid(), "PULSE_SERVER"), "unix:" + soundDir() + "/native");
    // On the mode's kind of server (a restart in an earlier test starts the same kind again).
    const auto info = nlohmann::json::parse(run("pactl -f json info"), nullptr, false);
    const std::string server = info.is_object() ? info.value("server_name", "") : "";
    EXPECT_EQ(server.find("PipeWire") != std::string::npos, soundServerKind() == "pipewire") << server;
    std::vector<Connection> connections;
    for (const auto until = Clock::now() + 5s; connections.empty() && Clock::now() < until;) {
        connections = connectionsOf(helper.pid());
        if (connections.empty()) helper.readStdout(1 << 20, 100ms);
    }
    std::ostringstream seen;
    for (const auto& connection : connections)
        seen << " \"" << connection.name << "\" (" << (connection.native ? "native" : "pulse") << ")";
    std::cout << soundMode() << ": the helper's clients on " << server << ":" << seen.str() << "\n";
    ASSERT_FALSE(connections.empty()) << "no client of the helper's on the server";
    for (const auto& connection : connections) {
        EXPECT_EQ(connection.name, "lumvar-capture");
        EXPECT_EQ(connection.native, native) << soundMode() << ": the helper's clients:" << seen.str();
    }
    endWithSigterm(helper);
    if (soundMode() != "pipewire-pulse") return;
    // A parent that names a pulse server and no PipeWire daemon gets that server, though a daemon's socket
    // lies in the runtime directory.
    ChildProcess named = streamingHelper({"PIPEWIRE_REMOTE=", "XDG_RUNTIME_DIR=" + soundDir() + "/runtime"});
    ASSERT_EQ(named.readStdout(8, 5s).size(), 8u) << named.stderrSoFar();
    for (const auto until = Clock::now() + 5s;
         (connections = connectionsOf(named.pid())).empty() && Clock::now() < until;)
        named.readStdout(1 << 20, 100ms);
    ASSERT_FALSE(connections.empty());
    EXPECT_FALSE(connections[0].native);
    endWithSigterm(named);
}

}  // namespace lumvar::testing
