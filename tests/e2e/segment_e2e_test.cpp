// The segment lines of the real helper: where a source's samples begin in the stream, at what rate, and
// when they were captured. Alignment figures are printed; the assertions only catch a real fault.
#include <iostream>
#include <regex>

#include "e2e/e2e_support.h"

namespace lumvar::testing {

struct Segment {
    std::uint64_t frame = 0;
    double rate = 0.0;
    std::int64_t clockNs = 0;
};

// A helper whose every byte of standard output is kept, so that stream frames can be counted from the
// first, and whose segment lines place each frame in time.
struct Recording {
    explicit Recording(std::vector<std::string> environment = {})
        : helper(streamingHelper(std::move(environment))) {}

    ChildProcess helper;
    std::vector<float> stream;  // interleaved stereo, from the first byte on

    // Reads until `count` segment lines have come (the first delivery of an idle server may take a while).
    void readUntilSegments(std::size_t count) {
        for (const auto until = Clock::now() + 5s; segments().size() < count && Clock::now() < until;)
            readFor(20ms);
    }
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
        Segment at{};
        for (const Segment& segment : segments())
            if (segment.frame <= frame) at = segment;
        return static_cast<double>(at.clockNs) / 1e9 + static_cast<double>(frame - at.frame) / at.rate;
    }
    // The loudest channel of frames [from, to).
    std::vector<float> loudest(std::uint64_t from, std::uint64_t to) const {
        std::vector<float> values;
        for (std::uint64_t k = from; k < std::min(to, frames()); ++k)
            values.push_back(std::fabs(stream[2 * k]) > std::fabs(stream[2 * k + 1]) ? stream[2 * k]
                                                                                     : stream[2 * k + 1]);
        return values;
    }
};

// The pitch of a tone read at `rate`, from its rising zero crossings.
double pitch(const std::vector<float>& values, double rate) {
    std::size_t crossings = 0;
    for (std::size_t i = 1; i < values.size(); ++i)
        if (values[i - 1] < 0.0f && values[i] >= 0.0f) ++crossings;
    return values.empty() ? 0.0 : static_cast<double>(crossings) * rate / static_cast<double>(values.size());
}

TEST(ServerE2E, TheSegmentLineSaysWhereTheRateChangesToTheFrame) {
    ChildProcess keepRendering = parec("lumvar_out");
    Recording recording;
    recording.readUntilSegments(1);
    Playback system("lumvar_out", stereoTone(1000.0, 3.0, 1.0f));
    // Played at 44.1 kHz, which also keeps the sink there (an idle PulseAudio sink may take the rate of
    // the next stream that comes).
    Playback other("lumvar_44k", stereoTone(1500.0, 3.0, 1.0f, 44100.0), 44100);
    recording.readFor(1000ms);
    const std::size_t before = recording.segments().size();
    recording.helper.write("INPUT lumvar_44k.monitor\n");
    ASSERT_TRUE(sees(recording.helper, "  input device rate: 44100.0\n"));
    recording.readUntilSegments(before + 1);
    const Segment input = recording.segments().at(before);
    for (const auto until = Clock::now() + 5s;
         recording.frames() < input.frame + 30000 && Clock::now() < until;)
        recording.readFor(50ms);
    EXPECT_EQ(input.rate, 44100.0);
    ASSERT_GT(input.frame, 9600u);
    ASSERT_GT(recording.frames(), input.frame + 22050);
    // The last 0.1 s before the line's frame are the system's tone at 48 kHz, the first 0.1 s after it
    // (a new stream's silent lead-in aside) the other sink's at 44.1 kHz: a boundary off by a hundred
    // frames mixes in the other pitch. A later segment (a cycle the graph skipped) ends the window.
    std::uint64_t end = recording.frames();
    for (const Segment& segment : recording.segments())
        if (segment.frame > input.frame) end = std::min(end, segment.frame);
    const std::vector<float> after = loudPart(recording.loudest(input.frame, end));
    ASSERT_GT(after.size(), 4410u) << recording.helper.stderrSoFar();
    const double pitchBefore = pitch(recording.loudest(input.frame - 4800, input.frame), 48000.0);
    const double pitchAfter = pitch({after.begin(), after.begin() + 4410}, 44100.0);
    std::cout << "pitch before the line: " << pitchBefore << " Hz, after: " << pitchAfter << " Hz\n";
    EXPECT_NEAR(pitchBefore, 1000.0, 20.0);
    EXPECT_NEAR(pitchAfter, 1500.0, 20.0) << recording.helper.stderrSoFar();
    endWithSigterm(recording.helper);
}

// A click every `every` frames at 48 kHz: one loud sample after silence.
std::vector<float> clickTrain(int clicks, std::size_t every = 12000) {
    std::vector<float> samples(2 * every * static_cast<std::size_t>(clicks + 2), 0.0f);
    for (std::size_t i = 1; i <= static_cast<std::size_t>(clicks); ++i)
        samples[2 * every * i] = samples[2 * every * i + 1] = 0.9f;
    return samples;
}

// Each click the recording holds, by its first frame and the time its own segment lines place it at: the
// first loud frame after a quiet 50 ms.
std::vector<std::pair<std::uint64_t, double>> clicksOf(Recording& recording) {
    std::vector<std::pair<std::uint64_t, double>> clicks;
    const std::vector<float> values = recording.loudest(0, recording.frames());
    std::size_t lastLoud = 0;
    for (std::size_t k = 0; k < values.size(); ++k) {
        if (std::fabs(values[k]) < 0.2f) continue;
        if (k - lastLoud > 2400) clicks.emplace_back(k, recording.timeOf(k));
        lastLoud = k;
    }
    return clicks;
}
std::vector<double> clickTimes(Recording& recording) {
    std::vector<double> times;
    for (const auto& [frame, time] : clicksOf(recording)) times.push_back(time);
    return times;
}

// Clicks played every 100 ms are the ground truth: every segment of one capture, its first, an anchor and
// the one after a backlog's hole, must place them on one grid within 1 ms (through PipeWire's pulse server,
// whose reports carry no latency, within 2 ms, up to 6 ms while a new stream settles in its first second),
// and the hole must hold the time of the frames it dropped.
TEST(ServerE2E, EverySegmentPlacesAClickGridOnItsGridAndAHoleHoldsTheTimeItDropped) {
    ChildProcess keepRendering = parec("lumvar_out");
    keepRendering.readStdout(8, 5s);  // the sink renders in small blocks before the helper comes
    Recording recording;
    Playback clicks("lumvar_out", clickTrain(250, 4800));
    recording.readFor(3000ms);
    recording.helper.pauseStdout(true);
    std::this_thread::sleep_for(9s);  // longer than the ring holds: a hole
    recording.helper.pauseStdout(false);
    recording.readFor(3000ms);
    clicks.stop();
    const std::vector<Segment> segments = recording.segments();
    const auto found = clicksOf(recording);
    ASSERT_GT(found.size(), 60u);
    std::vector<double> residuals;  // each click's time past the grid's last line, in ms
    for (const auto& [frame, time] : found) residuals.push_back(std::fmod(time * 1000.0, 100.0));
    std::vector<double> sorted = residuals;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    const double grid = sorted[sorted.size() / 2];
    const double start = segments.front().clockNs / 1e9;
    double worst = 0.0;
    for (std::size_t i = 0; i < found.size(); ++i) {
        double off = residuals[i] - grid;
        off -= 100.0 * std::round(off / 100.0);
        const bool settling = found[i].second - start < 1.0;
        EXPECT_LT(std::fabs(off), kSoundMode != "pipewire-pulse" ? 1.0
                                  : settling                     ? 6.0
                                                                 : 2.0)
            << "the click at frame " << found[i].first << "\n"
            << recording.helper.stderrSoFar();
        worst = std::max(worst, std::fabs(off));
    }
    // The hole: the step of the clock beyond the frames between the lines is the time of the frames dropped.
    const std::string text = recording.helper.stderrSoFar();
    const auto at = text.find("  ! output backlog: dropped ");
    ASSERT_NE(at, std::string::npos) << text;
    const double dropped = std::stod(text.substr(at + 28)) / 2 / 48000.0;
    double hole = 0.0;
    for (std::size_t k = 1; k < segments.size(); ++k)
        hole = std::max(hole, (segments[k].clockNs - segments[k - 1].clockNs) / 1e9 -
                                  static_cast<double>(segments[k].frame - segments[k - 1].frame) / 48000.0);
    std::cout << kSoundMode << ": " << segments.size() << " segments, " << found.size() << " clicks within "
              << worst << " ms of the grid; the hole " << (hole - dropped) * 1000.0
              << " ms off the time dropped\n";
    EXPECT_LT(std::fabs(hole - dropped), 0.001);
    endWithSigterm(recording.helper);
}

// One helper on the system source, one on `input`, while a click train plays into `sink`: both place the
// same clicks at the same time (median and spread of the differences within `boundMs`).
void expectClicksAligned(const std::string& input, const std::string& sink, const char* what,
                         std::vector<std::string> otherEnvironment = {}) {
    Recording system, other(std::move(otherEnvironment));
    other.helper.write("INPUT " + input + "\n");
    ASSERT_TRUE(sees(other.helper, "  input device rate: "));
    system.readFor(300ms);
    other.readFor(300ms);
    {
        Playback clicks(sink, clickTrain(24));
        for (const auto until = Clock::now() + 7s; Clock::now() < until;) {
            system.readFor(20ms);
            other.readFor(20ms);
        }
    }
    const std::vector<double> a = clickTimes(system), b = clickTimes(other);
    std::vector<double> differences;  // each click of the first with the second's nearest, within 100 ms
    for (const double time : a) {
        const auto nearest = std::min_element(b.begin(), b.end(), [time](double x, double y) {
            return std::fabs(x - time) < std::fabs(y - time);
        });
        if (nearest != b.end() && std::fabs(*nearest - time) < 0.1)
            differences.push_back((*nearest - time) * 1000.0);
    }
    ASSERT_GE(differences.size(), 20u) << what << ": " << a.size() << " and " << b.size() << " clicks";
    std::sort(differences.begin(), differences.end());
    const double median = differences[differences.size() / 2];
    std::cout << what << ": " << differences.size() << " of " << a.size() << "/" << b.size()
              << " clicks paired, difference median " << median << " ms, spread "
              << differences.back() - differences.front() << " ms\n";
    // Loose: the latency a server reports for a source remapped from a null sink's monitor places it a few
    // ms off what plays (2.4 ms on PulseAudio); a misplaced stream start (libpulse's smoothed latency:
    // 220 ms) fails it.
    EXPECT_LT(std::fabs(median), 60.0) << what;
    EXPECT_LT(differences.back() - differences.front(), 60.0) << what;
    endWithSigterm(system.helper);
    endWithSigterm(other.helper);
}

TEST(ServerE2E, TwoHelpersPlaceTheSameClicksAtTheSameTime) {
    ChildProcess keepOut = parec("lumvar_out");
    ChildProcess keepMic = parec("lumvar_mic_sink");
    expectClicksAligned("lumvar_out.monitor", "lumvar_out", "the system source and its monitor as an input");
    // One click train into both the default sink and the microphone's feed, through one combine sink.
    Module both("module-combine-sink sink_name=lumvar_both slaves=lumvar_out,lumvar_mic_sink");
    ASSERT_FALSE(both.id.empty());
    expectClicksAligned("lumvar_mic", "lumvar_both", "the system source and the microphone");
}

TEST(PulseServerE2E, PipeWireNativelyAndThroughItsPulseServerPlaceTheSameClicksAtTheSameTime) {
    ChildProcess keepOut = parec("lumvar_out");
    expectClicksAligned("lumvar_out.monitor", "lumvar_out", "PipeWire natively and through its pulse server",
                        {"PIPEWIRE_REMOTE=" + soundDir() + "/runtime/pipewire-0"});
}

}  // namespace lumvar::testing
