// A call's two parts paired on one timeline.
#include "capture/call_pairer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numbers>

#include "support/audio_fixture.h"

namespace lumvar::testing {

using namespace lumvar::capture;

constexpr double kRate = 8000.0;     // ten simulated minutes stay quick
constexpr double kPulseWidth = 2.0;  // frames

// A pulse every second (a Gaussian of kPulseWidth frames), from the one at 0.5 s on.
float pulses(double seconds) {
    const double x = (seconds - 0.5 - std::round(seconds - 0.5)) * kRate / kPulseWidth;
    return static_cast<float>(std::exp(-0.5 * x * x));
}

// A device feeding one part: `chunk` frames at a time, on a clock that runs `ppm` fast against true
// time, stamped with the true time of each chunk's first frame (in nanoseconds: one tick each).
struct Feed {
    CallPart& part;
    std::function<float(double seconds)> signal;
    double ppm = 0.0;
    std::size_t chunk = 480;
    double start = 0.0;      // the true time of frame 0 of this run
    std::uint64_t next = 0;  // of this run
    double late = 0.0;       // seconds between a chunk's capture and its delivery

    double timeOf(std::uint64_t frame) const {
        return start + static_cast<double>(frame) / (kRate * (1.0 + ppm * 1e-6));
    }
    // Every chunk whose last frame has been captured by `now`.
    void until(double now) {
        while (timeOf(next + chunk) + late <= now) {
            const auto room = part.reserve(chunk);
            ASSERT_TRUE(room);
            std::size_t k = 0;
            for (float& sample : room->first) sample = signal(timeOf(next + k++));
            for (float& sample : room->second) sample = signal(timeOf(next + k++));
            const audio::AudioTimeStamp stamp{
                .mHostTime = static_cast<std::uint64_t>(std::llround(timeOf(next) * 1e9)),
                .mFlags = audio::kAudioTimeStampHostTimeValid};
            part.commit(chunk, &stamp);
            next += chunk;
        }
    }
    void resumeAt(double at) { start = at, next = 0; }  // it comes back, having lost what came between
};

struct CallPairerTest : ::testing::Test {
    WakeSignal wake;
    CallPart micPart{1 << 16, wake};
    CallPart systemPart{1 << 16, wake};
    SampleOutput out{1 << 20};
    double now = 0.0;
    CallPairer pairer{micPart, systemPart, out, 1.0,
                      [this] { return static_cast<std::uint64_t>(std::llround(now * 1e9)); }};
    Feed mic{micPart, pulses, 0.0, 480};
    Feed system{systemPart, pulses, 0.0, 512};
    std::vector<float> stream;  // left, right, ...
    std::vector<SegmentStart> segments;
    CallPairerTest() { out.beginSource(kRate, 0), micPart.begin(kRate, 0), systemPart.begin(kRate, 0); }
    void runUntil(double end, bool micFeeds = true, bool systemFeeds = true) {
        for (; now < end; now += 0.01) {
            if (micFeeds) mic.until(now);
            if (systemFeeds) system.until(now);
            pairer.pump();
            drainAll(out, &segments, &stream);
        }
    }
    std::size_t frames() const { return stream.size() / 2; }
    // For each pulse on the right from `from` on: where the left's pulse is against it, in ms.
    std::vector<double> pulseOffsets(std::size_t from = 0) const {
        std::vector<double> offsets;
        const auto centroid = [&](std::size_t at, int channel) {
            double sum = 0.0, weighted = 0.0;
            for (std::size_t k = at - 24; k < at + 24; ++k) {
                const double value = std::max(0.0f, stream[2 * k + channel]);
                sum += value, weighted += value * static_cast<double>(k);
            }
            return sum > 0.5 ? std::optional(weighted / sum) : std::nullopt;
        };
        for (std::size_t k = std::max<std::size_t>(from, 24); k + 24 < frames(); ++k) {
            const float right = stream[2 * k + 1];
            if (right < 0.9f || right < stream[2 * k + 3]) continue;  // not the right's peak
            const auto left = centroid(k, 0), peak = centroid(k, 1);
            if (left && peak) offsets.push_back((*left - *peak) / kRate * 1000.0);
            k += 48;
        }
        return offsets;
    }
};

double maxAbs(const std::vector<double>& values) {
    double worst = 0.0;
    for (const double value : values) worst = std::max(worst, std::fabs(value));
    return worst;
}

// Ten minutes of two clocks 200 ppm apart, either way: every pulse that both parts caught at the same
// true time comes out within 0.5 ms on both channels, and no frame of what plays is lost or doubled.
TEST_F(CallPairerTest, ClocksThatDriftApartStayPairedForTenMinutes) {
    for (const double ppm : {200.0, -200.0}) {
        SCOPED_TRACE(ppm);
        mic.ppm = ppm;
        runUntil(now + 600.0);
        const auto offsets = pulseOffsets();
        EXPECT_GE(offsets.size(), 598u);
        EXPECT_LT(maxAbs(offsets), 0.5);
        EXPECT_NEAR(static_cast<double>(frames()), static_cast<double>(system.next), 1024.0);
        EXPECT_EQ(
            std::count_if(segments.begin(), segments.end(), [](const SegmentStart& s) { return !s.anchor; }),
            1);  // one placement held throughout
        stream.clear();
        // The next round: the same output, a microphone that runs the other way from now on.
        mic.resumeAt(now);
        system.resumeAt(now);
        micPart.begin(kRate, 0);
        systemPart.begin(kRate, 0);
        segments.clear();
    }
}

// A 1 kHz sine through a microphone 200 ppm fast: every 100 ms of the left channel is a sine within
// -60 dB (a frame dropped or repeated, or a step of the read position, is far louder).
TEST_F(CallPairerTest, TheMicrophonesSoundHasNoStepWhereItsClockIsFollowed) {
    constexpr double kTone = 1000.0;
    mic.ppm = 200.0;
    mic.signal = [&](double seconds) {
        return static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * kTone * seconds));
    };
    runUntil(60.0);
    const std::size_t window = static_cast<std::size_t>(kRate / 10);
    double worst = -1000.0;
    for (std::size_t from = window; from + window <= frames(); from += window) {
        // The four-parameter sine fit (amplitudes, offset and frequency), by a few Gauss-Newton steps from
        // the tone's own frequency: what it leaves is what no slowly moving ratio explains.
        double omega = 2 * std::numbers::pi * kTone / kRate, a = 0, b = 0, c = 0;
        for (int step = 0; step < 4; ++step) {
            double m[4][5] = {};
            for (std::size_t k = 0; k < window; ++k) {
                const double t = static_cast<double>(k), s = std::sin(omega * t), co = std::cos(omega * t);
                const double row[4] = {s, co, 1.0, t * (a * co - b * s)};
                for (int i = 0; i < 4; ++i) {
                    for (int j = 0; j < 4; ++j) m[i][j] += row[i] * row[j];
                    m[i][4] += row[i] * stream[2 * (from + k)];
                }
            }
            for (int i = 0; i < 4; ++i) {  // Gauss-Jordan; the last unknown is the frequency's change
                if (step == 0 && i == 3) m[3][3] = 1.0, m[3][4] = 0.0;
                for (int r = 0; r < 4; ++r) {
                    if (r == i) continue;
                    const double f = m[r][i] / m[i][i];
                    for (int j = i; j < 5; ++j) m[r][j] -= f * m[i][j];
                }
            }
            a = m[0][4] / m[0][0], b = m[1][4] / m[1][1], c = m[2][4] / m[2][2];
            omega += step == 0 ? 0.0 : m[3][4] / m[3][3];
        }
        double residual = 0, signal = 0;
        for (std::size_t k = 0; k < window; ++k) {
            const double t = static_cast<double>(k),
                         fit = a * std::sin(omega * t) + b * std::cos(omega * t) + c;
            residual += (stream[2 * (from + k)] - fit) * (stream[2 * (from + k)] - fit);
            signal += fit * fit;
        }
        worst = std::max(worst, 10.0 * std::log10(residual / signal));
    }
    EXPECT_LT(worst, -60.0);
    std::cout << "worst sine residual over 100 ms: " << worst << " dB\n";
}

// A server's sink that renders far ahead: what plays is captured 0.9 s before it is heard (and placed
// then), so its frames wait for the microphone's of the same instant instead of going without them.
TEST_F(CallPairerTest, WhatPlaysAheadOfNowWaitsForTheMicrophonesFramesOfItsInstant) {
    systemPart.begin(kRate, -900'000'000);
    system.signal = [](double seconds) { return pulses(seconds + 0.9); };
    runUntil(10.0);
    EXPECT_GE(pulseOffsets().size(), 8u);
    EXPECT_LT(maxAbs(pulseOffsets()), 0.5);
}

// A microphone whose frames come 0.6 s after their instant (a server that holds them long) is waited for
// as long as it usually takes, past the fixed margin.
TEST_F(CallPairerTest, AMicrophoneThatComesLateIsWaitedForAsLongAsItUsuallyTakes) {
    mic.late = 0.6;
    runUntil(10.0);
    EXPECT_GE(pulseOffsets().size(), 8u);
    EXPECT_LT(maxAbs(pulseOffsets()), 0.5);
}

// The microphone stalls: what plays goes on after a short wait, the left silent. What plays stops: the
// microphone alone sets the pace, in a segment of its own; back, a segment again, and pulses pair again.
TEST_F(CallPairerTest, APartThatStopsLeavesItsChannelSilentAndPairsAgainWhenItComesBack) {
    runUntil(3.0);
    runUntil(5.0, false);  // the microphone delivers nothing for two seconds
    mic.resumeAt(now);
    runUntil(8.0);
    EXPECT_NEAR(static_cast<double>(frames()), 8.0 * kRate, 0.35 * kRate);  // what plays never waited long
    EXPECT_EQ(segments.size(), 1u);
    EXPECT_EQ(pulseOffsets().size(), 6u);  // of eight: those at 3.5 and 4.5 s had no microphone
    EXPECT_LT(maxAbs(pulseOffsets()), 0.5);
    float stalled = 0.0f;
    for (std::size_t k = static_cast<std::size_t>(3.6 * kRate); k < 4.9 * kRate; ++k)
        stalled = std::max(stalled, stream[2 * k]);
    EXPECT_EQ(stalled, 0.0f);

    const std::size_t before = frames();
    systemPart.end();
    runUntil(11.0, true, false);
    EXPECT_EQ(segments.size(), 2u);
    EXPECT_EQ(segments[1].sample / 2, before + 0u);
    EXPECT_GT(frames() - before, 2.5 * kRate);  // the microphone alone, without waiting
    float right = 0.0f, left = 0.0f;
    for (std::size_t k = before; k < frames(); ++k)
        right = std::max(right, stream[2 * k + 1]), left = std::max(left, stream[2 * k]);
    EXPECT_EQ(right, 0.0f);
    EXPECT_GT(left, 0.9f);

    system.resumeAt(now);
    systemPart.begin(kRate, 0);
    const std::size_t back = frames();
    runUntil(15.0);
    EXPECT_EQ(segments.size(), 3u);
    EXPECT_EQ(pulseOffsets(back).size(), 4u);
    EXPECT_LT(maxAbs(pulseOffsets(back)), 0.5);
}

}  // namespace lumvar::testing
