// What the end-to-end suites share: the private test server in the mode CTest gives, players, recorders.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/audio_fixture.h"

namespace lumvar::testing {

using Clock = std::chrono::steady_clock;

// A spawned program whose two output streams are read whenever the caller waits, as a parent does, unless
// paused. `arguments` after the program's own name; `environment`: NAME=value entries added to ours.
class ChildProcess {
  public:
    explicit ChildProcess(const std::string& path, const std::vector<std::string>& arguments = {},
                          const std::vector<std::string>& environment = {}) {
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC))
            throw std::runtime_error("pipe");
        std::vector<std::string> words{path}, entries = environment;  // before fork: the child only execs
        words.insert(words.end(), arguments.begin(), arguments.end());
        for (char** entry = environ; *entry != nullptr; ++entry) entries.emplace_back(*entry);
        std::vector<char*> argv, envp;
        for (auto& word : words) argv.push_back(word.data());
        for (auto& entry : entries) envp.push_back(entry.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        if ((pid_ = ::fork()) == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(err[1], STDERR_FILENO);
            sigset_t none;  // the test runner may block signals; the child starts from a clean mask
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::execve(path.c_str(), argv.data(), envp.data());
            ::_exit(127);
        }
        for (const int fd : {in[0], out[1], err[1]}) ::close(fd);
        in_ = in[1], out_ = out[0], err_ = err[0];
        ::fcntl(in_, F_SETFL, O_NONBLOCK);  // write() never blocks: it reads the outputs while it waits
    }
    ~ChildProcess() {
        if (!status_) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
        for (const int fd : {in_, out_, err_})
            if (fd >= 0) ::close(fd);
    }
    pid_t pid() const { return pid_; }
    void write(std::string_view bytes) {  // all of it, reading the outputs meanwhile: neither side blocks
        while (!bytes.empty()) {
            pollfd writable{in_, POLLOUT, 0};
            if (::poll(&writable, 1, 20) > 0) {
                const ssize_t put = ::write(in_, bytes.data(), bytes.size());
                if (put < 0 && errno != EINTR && errno != EAGAIN) return;
                if (put > 0) bytes.remove_prefix(static_cast<std::size_t>(put));
            }
            pump(0ms);
        }
    }
    void closeStdin() { ::close(std::exchange(in_, -1)); }
    void closeStdout() { ::close(std::exchange(out_, -1)); }
    void signal(int number) { ::kill(pid_, number); }
    void pauseStdout(bool paused) { stdoutPaused_ = paused; }
    void pauseStderr(bool paused) { stderrPaused_ = paused; }
    // Waits until standard error contains `text` or the timeout passes; returns all of it so far.
    std::string waitForStderr(std::string_view text, std::chrono::milliseconds timeout) {
        for (const auto until = Clock::now() + timeout;
             stderr_.find(text) == std::string::npos && Clock::now() < until;)
            pump(20ms);
        return stderr_;
    }
    std::string stderrSoFar() { return pump(0ms), stderr_; }
    // Takes up to `limit` bytes of standard output, waiting for them at most `timeout`.
    std::string readStdout(std::size_t limit, std::chrono::milliseconds timeout) {
        for (const auto until = Clock::now() + timeout; stdout_.size() < limit && Clock::now() < until;)
            pump(20ms);
        std::string taken = stdout_.substr(0, limit);
        stdout_.erase(0, taken.size());
        return taken;
    }
    void discardStdout() { pump(0ms), stdout_.clear(); }
    // The exit status, minus the signal that ended the child, or nullopt while it runs after the timeout.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout) {
        for (const auto until = Clock::now() + timeout;; pump(10ms)) {
            if (int status = 0; !status_ && ::waitpid(pid_, &status, WNOHANG) == pid_)
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            if (status_ || Clock::now() >= until) return status_;
        }
    }

  private:
    void pump(std::chrono::milliseconds timeout) {
        pollfd pollers[2] = {{stderrPaused_ ? -1 : err_, POLLIN, 0}, {stdoutPaused_ ? -1 : out_, POLLIN, 0}};
        if (::poll(pollers, 2, static_cast<int>(timeout.count())) <= 0) return;
        char buffer[65536];
        for (const pollfd& poller : pollers) {
            if (poller.fd < 0 || (poller.revents & (POLLIN | POLLHUP)) == 0) continue;
            const ssize_t got = ::read(poller.fd, buffer, sizeof buffer);
            if (got > 0)
                (poller.fd == err_ ? stderr_ : stdout_).append(buffer, static_cast<std::size_t>(got));
            if (got == 0)
                ::close(std::exchange(poller.fd == err_ ? err_ : out_, -1));  // closed: no more polls
        }
    }
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
    std::string stderr_, stdout_;
    bool stdoutPaused_ = false, stderrPaused_ = false;
    std::optional<int> status_;
};

inline double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

inline std::vector<float> channel(const std::vector<float>& frames, std::size_t which) {  // of stereo
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
    return first < last ? std::vector(&values[first], &values[last]) : std::vector<float>{};
}
// Interleaved stereo: a sine of `hertz` at 0.5 on the left, `right` times it on the right.
inline std::vector<float> stereoTone(double hertz, double seconds, float right, double rate = 48000.0) {
    std::vector<float> samples(2 * static_cast<std::size_t>(seconds * rate));
    for (std::size_t i = 0; i < samples.size() / 2; ++i) {
        samples[2 * i] =
            static_cast<float>(0.5 * std::sin(2.0 * M_PI * hertz * static_cast<double>(i) / rate));
        samples[2 * i + 1] = right * samples[2 * i];
    }
    return samples;
}
// A click every `every` frames at 48 kHz: one loud sample after silence.
inline std::vector<float> clickTrain(int clicks, std::size_t every = 12000) {
    std::vector<float> samples(2 * every * static_cast<std::size_t>(clicks + 2), 0.0f);
    for (std::size_t i = 1; i <= static_cast<std::size_t>(clicks); ++i)
        samples[2 * every * i] = samples[2 * every * i + 1] = 0.9f;
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
// The newest device list in `text`, its JSON.
inline std::string lastDeviceList(const std::string& text) {
    const auto at = text.rfind("@DEVICES ");
    return at == std::string::npos ? "" : text.substr(at + 9, text.find('\n', at) - at - 9);
}

inline std::string run(const std::string& command) {  // a shell command's standard output
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[4096];
    for (std::size_t got = 0; pipe != nullptr && (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, got);
    if (pipe != nullptr) ::pclose(pipe);
    return output;
}

// Every client here, the helper included, takes the environment scripts/sound-server gives the mode that
// LUMVAR_TEST_SOUND_MODE names, so that the helper takes the mode's path to the private test server.
inline const std::string kSoundMode =
    std::getenv("LUMVAR_TEST_SOUND_MODE") != nullptr ? std::getenv("LUMVAR_TEST_SOUND_MODE") : "pulseaudio";
inline const bool kPulseAudio = kSoundMode == "pulseaudio";  // else PipeWire, natively or not
inline const std::string kSoundDir = kPulseAudio ? LUMVAR_SOUND_DIR : LUMVAR_PIPEWIRE_DIR;
// The scripts/sound-server command that starts (the mode's kind of server again), stops or describes it.
inline std::string serverCommand(const std::string& verb) {
    return std::string(LUMVAR_SOUND_SERVER_SCRIPT) + " " + verb + " " + kSoundDir +
           (verb == "start" ? (kPulseAudio ? " pulseaudio" : " pipewire") + std::string(" >/dev/null") : "");
}
inline const bool kPrivateServer = [] {
    std::istringstream lines(run(serverCommand("env") + " " + kSoundMode));
    int set = 0;  // PULSE_SERVER, PULSE_COOKIE, PULSE_RUNTIME_PATH, PIPEWIRE_REMOTE
    for (std::string line; std::getline(lines, line);)
        if (const auto at = line.find('='); at != std::string::npos)
            set += ::setenv(line.substr(0, at).c_str(), line.substr(at + 1).c_str(), 1) == 0 ? 1 : 0;
    if (set < 4) std::fprintf(stderr, "no client environment for %s\n", kSoundMode.c_str()), std::exit(2);
    return true;
}();

// Plays interleaved stereo float samples into a sink; the destructor waits for their end unless stop().
struct Playback {
    std::string file = "/tmp/lumvar-e2e-" + std::to_string(::getpid()) + "-" + std::to_string(::rand());
    std::optional<ChildProcess> player;
    // `latencyMs`: how far ahead the player writes (a longer lead survives a busy machine without a gap).
    Playback(const std::string& sink, const std::vector<float>& samples, int rate = 48000,
             int latencyMs = 20) {
        std::ofstream(file).write(reinterpret_cast<const char*>(samples.data()),
                                  static_cast<std::streamsize>(samples.size() * 4));
        player.emplace("/usr/bin/pacat", std::vector<std::string>{
                                             "--playback", "--raw", "--device=" + sink, "--format=float32le",
                                             "--channels=2", "--rate=" + std::to_string(rate),
                                             "--latency-msec=" + std::to_string(latencyMs), file});
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
    return ChildProcess("/usr/bin/parec", more);
}

struct ServerPause {  // the test server's processes stopped (SIGSTOP) while it lives: a server that hangs
    std::vector<pid_t> pids;
    pid_t guard = -1;
    ServerPause() {
        for (const char* name : {"pulseaudio", "pipewire", "pipewire-pulse", "wireplumber"})
            if (pid_t pid = 0; std::ifstream(kSoundDir + "/" + name + ".pid") >> pid && pid > 0)
                pids.push_back(pid), ::kill(pid, SIGSTOP);
        // A test that hangs or is killed inside the pause must not leave the server stopped for every
        // test after it: a child resumes it after 30 s, or as soon as this process is gone.
        const pid_t test = ::getpid();
        if ((guard = ::fork()) == 0) {
            for (int i = 0; i < 300 && ::getppid() == test; ++i) ::usleep(100'000);
            resume();
            ::_exit(0);
        }
    }
    ~ServerPause() {
        if (guard > 0) ::kill(guard, SIGKILL), ::waitpid(guard, nullptr, 0);
        resume();
    }
    void resume() const {
        for (const pid_t pid : pids) ::kill(pid, SIGCONT);
    }
};

struct Module {  // a module of the server's for the length of a test (no id: the server refused it)
    std::string id;
    explicit Module(const std::string& arguments)
        : id(run("pactl load-module " + arguments + " 2>/dev/null")) {
        if (!id.empty()) id.pop_back();  // the newline
    }
    ~Module() { unload(); }
    void unload() {
        if (!id.empty()) run("pactl unload-module " + std::exchange(id, ""));
    }
};

// A socket that takes connections and never says a word, as a hung sound server does; what it holds
// stays open, unanswered, until it is destroyed.
struct MuteServer {
    std::string path;
    int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    explicit MuteServer(std::string at = "/tmp/lumvar-mute-" + std::to_string(::getpid())) : path(at) {
        sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        ::unlink(path.c_str());
        EXPECT_TRUE(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                    ::listen(listener, 4) == 0);
    }
    ~MuteServer() { ::close(listener), ::unlink(path.c_str()); }
};

inline bool sees(ChildProcess& helper, const std::string& line, std::chrono::seconds timeout = 5s) {
    return helper.waitForStderr(line, timeout).find(line) != std::string::npos;
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
    ChildProcess helper(LUMVAR_HELPER_PATH, {}, environment);
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
// Plays short tones into `sink` until the helper delivers a loud sample; how long that took, or -1.
inline double untilAudio(ChildProcess& helper, std::chrono::seconds limit,
                         const std::string& sink = "lumvar_out") {
    ChildProcess busy = parec(sink);  // an idle null sink renders only every 2 s otherwise
    helper.discardStdout();
    const auto since = Clock::now();
    while (Clock::now() - since < limit) {
        Playback tone(sink, stereoTone(1000.0, 0.5, 1.0f));
        for (const auto until = Clock::now() + 1s; Clock::now() < until;)
            for (const float value : asFloats(helper.readStdout(4096, 50ms)))
                if (std::fabs(value) > 0.05f) return msSince(since);
    }
    return -1.0;
}

// A helper whose every byte of standard output is kept, so that stream frames can be counted from the
// first, and whose segment lines place each frame in time.
struct Segment {
    std::uint64_t frame;
    double rate;
    std::int64_t clockNs;
};
struct Recording {
    explicit Recording(std::vector<std::string> environment = {})
        : helper(streamingHelper(std::move(environment))) {}
    ChildProcess helper;
    std::vector<float> stream;  // interleaved stereo, from the first byte on

    void readFor(std::chrono::milliseconds span) {
        for (const auto until = Clock::now() + span; Clock::now() < until;) {
            const auto values = asFloats(helper.readStdout(1 << 16, 10ms));
            stream.insert(stream.end(), values.begin(), values.end());
        }
    }
    std::uint64_t frames() const { return stream.size() / 2; }
    std::vector<Segment> segments() {
        static const std::regex line(R"(  segment: frame=(\d+) rate=([0-9.]+) clock_ns=(-?\d+)\n)");
        std::vector<Segment> found;
        const std::string text = helper.stderrSoFar();
        for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it)
            found.push_back({std::stoull((*it)[1]), std::stod((*it)[2]), std::stoll((*it)[3])});
        return found;
    }
    // When stream frame `frame` was captured, in seconds on the monotonic clock.
    double timeOf(std::uint64_t frame) {
        Segment at{0, 48000.0, 0};
        for (const Segment& segment : segments())
            if (segment.frame <= frame) at = segment;
        return static_cast<double>(at.clockNs) / 1e9 + static_cast<double>(frame - at.frame) / at.rate;
    }
    // Frame k's sample in channel `which`, or in the louder one.
    float sample(std::uint64_t k, std::optional<std::size_t> which = std::nullopt) const {
        const float left = stream[2 * k], right = stream[2 * k + 1];
        return which ? stream[2 * k + *which] : std::fabs(left) > std::fabs(right) ? left : right;
    }
    std::vector<float> loudest(std::uint64_t from, std::uint64_t to) const {
        std::vector<float> values;
        for (std::uint64_t k = from; k < std::min(to, frames()); ++k) values.push_back(sample(k));
        return values;
    }
    // The first frame of each click (the first loud one after a quiet 50 ms) in the louder channel or one.
    std::vector<double> onsets(std::optional<std::size_t> which = std::nullopt) const {
        std::vector<double> found;
        for (std::uint64_t k = 0, lastLoud = 0; k < frames(); ++k) {
            if (std::fabs(sample(k, which)) < 0.2f) continue;
            if (k - lastLoud > 2400) found.push_back(static_cast<double>(k));
            lastLoud = k;
        }
        return found;
    }
    std::vector<double> clickTimes() {  // by the segment lines
        std::vector<double> times;
        for (const double k : onsets()) times.push_back(timeOf(static_cast<std::uint64_t>(k)));
        return times;
    }
};

}  // namespace lumvar::testing
