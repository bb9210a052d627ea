// What the end-to-end suites share: the private test server in the mode CTest gives, the helper, players,
// recorders and the lines every start writes.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"

namespace lumvar::testing {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// One channel of interleaved stereo float samples.
inline std::vector<float> channel(const std::vector<float>& frames, std::size_t which) {
    std::vector<float> values;
    for (std::size_t i = which; i < frames.size(); i += 2) values.push_back(frames[i]);
    return values;
}
inline double rms(const std::vector<float>& values) {
    double sum = 0.0;
    for (const float value : values) sum += static_cast<double>(value) * value;
    return values.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(values.size()));
}
// The stretch of `values` from its first to its last sample louder than 0.05.
inline std::vector<float> loudPart(const std::vector<float>& values) {
    std::size_t first = values.size(), last = 0;
    for (std::size_t i = 0; i < values.size(); ++i)
        if (std::fabs(values[i]) > 0.05f) first = std::min(first, i), last = i;
    return first < last ? std::vector<float>(values.begin() + static_cast<std::ptrdiff_t>(first),
                                             values.begin() + static_cast<std::ptrdiff_t>(last))
                        : std::vector<float>{};
}
// Interleaved stereo: a sine of `hertz` on the left, `right` times it on the right.
inline std::vector<float> stereoTone(double hertz, double seconds, float right, double rate = 48000.0) {
    std::vector<float> samples(2 * static_cast<std::size_t>(seconds * rate));
    for (std::size_t i = 0; i < samples.size() / 2; ++i) {
        samples[2 * i] =
            static_cast<float>(0.5 * std::sin(2.0 * M_PI * hertz * static_cast<double>(i) / rate));
        samples[2 * i + 1] = right * samples[2 * i];
    }
    return samples;
}
inline std::vector<float> asFloats(const std::string& bytes) {
    std::vector<float> values(bytes.size() / sizeof(float));
    if (!values.empty()) std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
    return values;
}
inline std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}
inline std::string lastDeviceList(const std::string& text) {
    const auto at = text.rfind("@DEVICES ");
    return at == std::string::npos ? "" : text.substr(at, text.find('\n', at) - at);
}

inline const std::string kBanner = "  > streaming (system). commands: SYSTEM | INPUT <uid> | LIST\n";
inline const std::string kBuildLines =
    "  output device channels: 2, level correction x1.0\n"
    "  aggregate rate set -> 48000.0 (wanted 48000.0, tries 0)\n"
    "  rates: output=48000.0 aggregate=48000.0\n"
    "  tap format: rate=48000.0 ch=2 bytesPerFrame=8 framesPerPacket=1 flags=9\n";

// A shell command's standard output.
inline std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char buffer[4096];
    for (std::size_t got = 0; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, got);
    ::pclose(pipe);
    return output;
}

// Every client here, the helper included, talks to the private test server in the mode that
// LUMVAR_TEST_SOUND_MODE names: pulseaudio (the default), pipewire-native or pipewire-pulse. The
// environment is what scripts/sound-server gives that mode, so the helper takes the mode's path.
inline const std::string kSoundMode = [] {
    const char* chosen = std::getenv("LUMVAR_TEST_SOUND_MODE");
    const std::string mode = chosen != nullptr ? chosen : "pulseaudio";
    if (mode != "pulseaudio" && mode != "pipewire-native" && mode != "pipewire-pulse") {
        std::fprintf(stderr, "LUMVAR_TEST_SOUND_MODE=%s: not a mode of the suite\n", mode.c_str());
        std::exit(2);
    }
    return mode;
}();
// The kind of server the mode runs on; a test that restarts the server starts this kind again.
inline std::string soundServerKind() {
    return kSoundMode == "pulseaudio" ? "pulseaudio" : "pipewire";
}
inline std::string soundDir() {
    return soundServerKind() == "pulseaudio" ? LUMVAR_SOUND_DIR : LUMVAR_PIPEWIRE_DIR;
}
// The scripts/sound-server command that starts or stops the mode's server.
inline std::string serverCommand(const std::string& verb) {
    return std::string(LUMVAR_SOUND_SERVER_SCRIPT) + " " + verb + " " + soundDir() +
           (verb == "start" ? " " + soundServerKind() + " >/dev/null" : "");
}
inline const bool kPrivateServer = [] {
    std::istringstream lines(run(serverCommand("env") + " " + kSoundMode));
    int set = 0;
    for (std::string line; std::getline(lines, line);)
        if (const auto at = line.find('='); at != std::string::npos)
            set += ::setenv(line.substr(0, at).c_str(), line.substr(at + 1).c_str(), 1) == 0 ? 1 : 0;
    if (set < 4) {  // PULSE_SERVER, PULSE_COOKIE, PULSE_RUNTIME_PATH, PIPEWIRE_REMOTE
        std::fprintf(stderr, "no client environment for %s\n", kSoundMode.c_str());
        std::exit(2);
    }
    return true;
}();

// Plays interleaved stereo float samples into a sink; the destructor waits for their end unless stop().
struct Playback {
    std::string file = "/tmp/lumvar-e2e-" + std::to_string(::getpid()) + "-" + std::to_string(::rand());
    std::optional<ChildProcess> player;
    Playback(const std::string& sink, const std::vector<float>& samples, int rate = 48000) {
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(samples.data()),
                   static_cast<std::streamsize>(samples.size() * 4));
        player.emplace(
            "/usr/bin/pacat",
            ChildProcess::Options{
                .arguments = {"--playback", "--raw", "--device=" + sink, "--format=float32le", "--channels=2",
                              "--rate=" + std::to_string(rate), "--latency-msec=20", file}});
    }
    void stop() { player.reset(); }
    ~Playback() {
        if (player) player->waitForExit(120s);
        std::remove(file.c_str());
    }
};

// A recorder on a sink's monitor. Kept for /dev/null, it keeps an idle null sink rendering in small
// blocks (not its idle 2 s ones), as a real device does, so that what is measured is the helper.
inline ChildProcess parec(const std::string& sink, std::vector<std::string> more = {"/dev/null"}) {
    more.insert(more.begin(), {"--latency-msec=10", "-d", sink + ".monitor"});
    return ChildProcess("/usr/bin/parec", {.arguments = more});
}

// The test server's processes stopped (SIGSTOP) for the life of this object: a server that hangs.
struct ServerPause {
    std::vector<pid_t> pids;
    ServerPause() {
        for (const char* name : {"pulseaudio", "pipewire", "pipewire-pulse", "wireplumber"})
            if (pid_t pid = 0; std::ifstream(soundDir() + "/" + name + ".pid") >> pid && pid > 0)
                pids.push_back(pid);
        for (const pid_t pid : pids) ::kill(pid, SIGSTOP);
    }
    ~ServerPause() {
        for (const pid_t pid : pids) ::kill(pid, SIGCONT);
    }
};

// A module of the server's for the length of a test.
struct Module {
    std::string id;
    explicit Module(const std::string& arguments)
        : id(run("pactl load-module " + arguments + " 2>/dev/null")) {
        while (!id.empty() && std::isspace(static_cast<unsigned char>(id.back()))) id.pop_back();
    }
    ~Module() { unload(); }
    void unload() {
        if (!id.empty()) run("pactl unload-module " + id);
        id.clear();
    }
};

// A socket that takes connections and never says a word, as a hung sound server does; what it holds
// stays open, unanswered, until it is destroyed.
struct MuteServer {
    std::string path;
    int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    explicit MuteServer(std::string at = "/tmp/lumvar-mute-" + std::to_string(::getpid()))
        : path(std::move(at)) {
        ::unlink(path.c_str());
        sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listener, 4), 0);
    }
    ~MuteServer() {
        ::close(listener);
        ::unlink(path.c_str());
    }
};

// Reads standard output for `seconds`; how many bytes came.
inline std::size_t readFor(ChildProcess& helper, double seconds) {
    std::size_t bytes = 0;
    for (const auto until = Clock::now() + std::chrono::duration<double>(seconds); Clock::now() < until;)
        bytes += helper.readStdout(1 << 20, 50ms).size();
    return bytes;
}
// Whether `line` comes on standard error within 5 s.
inline bool sees(ChildProcess& helper, const std::string& line) {
    return helper.waitForStderr(line, 5s).find(line) != std::string::npos;
}
inline void endWithSigterm(ChildProcess& helper) {
    helper.signal(SIGTERM);
    EXPECT_EQ(helper.waitForExit(5s), 0);
}
// Waits for the banner. It comes just before the last steps of start-up; a signal before they are done
// ends the helper at once, as a signal's default action does, so give them a moment.
inline std::string waitUntilStreaming(ChildProcess& helper) {
    std::string text = helper.waitForStderr(kBanner, 10s);
    std::this_thread::sleep_for(50ms);
    return text;
}
inline ChildProcess streamingHelper(std::vector<std::string> environment = {}) {
    ChildProcess helper(LUMVAR_HELPER_PATH, {.arguments = {}, .environment = std::move(environment)});
    waitUntilStreaming(helper);
    return helper;
}

// What the helper writes in `seconds` while `samples` play into `sink`, from a moment when it streams.
inline std::vector<float> captureWhilePlaying(ChildProcess& helper, const std::string& sink,
                                              const std::vector<float>& samples, double seconds) {
    helper.readStdout(8, 5s);
    helper.discardStdout();
    Playback tone(sink, samples);
    return asFloats(helper.readStdout(static_cast<std::size_t>(48000 * 8 * seconds), 8s));
}
// Reads standard output until a loud sample arrives; how long that took, or -1.
inline double untilLoud(ChildProcess& helper, Clock::time_point since, std::chrono::seconds limit = 8s) {
    while (Clock::now() - since < limit)
        for (const float value : asFloats(helper.readStdout(4096, 50ms)))
            if (std::fabs(value) > 0.05f) return msSince(since);
    return -1.0;
}
// Plays short tones into the default sink until the helper delivers a loud sample; how long that took, or -1.
inline double untilAudio(ChildProcess& helper, std::chrono::seconds limit) {
    ChildProcess busy = parec("lumvar_out");  // an idle null sink renders only every 2 s otherwise
    helper.discardStdout();
    const auto since = Clock::now();
    while (Clock::now() - since < limit) {
        Playback tone("lumvar_out", stereoTone(1000.0, 0.5, 1.0f));
        if (untilLoud(helper, Clock::now(), 1s) > 0.0) return msSince(since);
    }
    return -1.0;
}

}  // namespace lumvar::testing
