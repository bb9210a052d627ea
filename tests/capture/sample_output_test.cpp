// The output stream's segments as the IO callbacks make them: where each begins, at what rate and when,
// and how the writer waits for their lines.
#include "capture/sample_output.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/audio_fixture.h"

namespace lumvar::testing {

using capture::SampleOutput;
using capture::SegmentQueue;
using capture::SegmentStart;
using capture::SegmentTracker;

struct SampleOutputTest : ::testing::Test {
    SampleOutput out{1 << 16};
    double sampleTime = 0.0;
    std::uint64_t hostTime = 1'000'000;
    std::vector<SegmentStart> starts;
    std::uint64_t written = 0;

    // One IO cycle of `frames` stereo frames, stamped to follow the previous one unless told otherwise.
    bool cycle(std::size_t frames, std::optional<double> at = std::nullopt) {
        if (at) sampleTime = *at;
        audio::AudioTimeStamp time{};
        time.mSampleTime = sampleTime;
        time.mHostTime = hostTime;
        time.mFlags = audio::kAudioTimeStampSampleTimeValid | audio::kAudioTimeStampHostTimeValid;
        sampleTime += static_cast<double>(frames);
        hostTime += frames * 1000;
        out.cycle(&time, frames);
        if (!out.write(std::vector<float>(2 * frames, 0.5f))) return false;
        return true;
    }
    // The main queue and a writer that keep up.
    void drain() {
        drainAll(
            out, [this](const SegmentStart& start) { starts.push_back(start); },
            [this](std::span<const float> samples) { written += samples.size(); });
    }
    // Stream frames where the segments announced so far begin.
    std::vector<std::uint64_t> frames() const {
        std::vector<std::uint64_t> at;
        for (const SegmentStart& start : starts) at.push_back(start.sample / 2);
        return at;
    }
};

TEST_F(SampleOutputTest, ASegmentBeginsAtAStartAJumpEitherWayANewRateAndEveryAnchor) {
    out.beginSource(48000.0, 2500);
    cycle(100);  // the start, at frame 0
    cycle(100);
    cycle(100, 200.5);  // half a frame off: the same clock
    cycle(100, 400.5);  // a jump forward (frame 300)
    cycle(100, 350.5);  // and back (frame 400)
    out.changeRate(44100.0);
    cycle(100);  // frame 500
    drain();
    EXPECT_EQ(frames(), (std::vector<std::uint64_t>{0, 300, 400, 500}));
    EXPECT_EQ(starts[0].rate, 48000.0);
    EXPECT_EQ(starts[0].hostTime, 1'000'000u);
    EXPECT_EQ(starts[0].latencyNanos, 2500);
    EXPECT_EQ(starts[1].hostTime, 1'000'000u + 300'000u);  // the cycle's own time
    EXPECT_EQ(starts[3].rate, 44100.0);

    // Anchors: the first chunk after every 480,000 frames of a segment.
    starts.clear();
    for (std::uint64_t done = 0; done < SegmentTracker::kAnchorFrames + 10'000; done += 10'000) {
        cycle(10'000);
        drain();
    }
    EXPECT_EQ(frames(), (std::vector<std::uint64_t>{600 + SegmentTracker::kAnchorFrames}));
    EXPECT_TRUE(starts[0].hostTimeValid);

    // A platform without stamps: no jump to see, no host time.
    starts.clear();
    out.beginSource(16000.0, 0);
    out.cycle(nullptr, 10);
    out.write(std::vector<float>(20, 0.0f));
    drain();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_FALSE(starts[0].hostTimeValid);
}

TEST_F(SampleOutputTest, EveryHoleOfADropEpisodeBeginsASegmentAndTheCountWaitsForTheLast) {
    out.beginSource(48000.0, 0);
    cycle(16384);              // half the ring
    cycle(16384);              // full
    EXPECT_FALSE(cycle(100));  // nobody reads: dropped
    for (int i = 0; i < 10; ++i) cycle(100);
    EXPECT_EQ(out.acknowledge(), 0u);  // the hole is still open
    // The writer lets 1/8 of the ring go: still less than a quarter free, so still dropping.
    out.consume(8192);
    EXPECT_FALSE(cycle(100));
    out.consume(8192);  // a quarter free: the next chunk goes in and begins the hole's segment
    EXPECT_TRUE(cycle(100));
    EXPECT_FALSE(cycle(16384));  // a second hole in the same episode
    out.consume(32768);
    EXPECT_TRUE(cycle(100));
    EXPECT_EQ(out.acknowledge(), 2u * (100 * 12 + 16384));
    drain();
    EXPECT_EQ(frames(), (std::vector<std::uint64_t>{0, 32768, 32868}));
}

TEST_F(SampleOutputTest, AFullSegmentQueueDropsChunksNeverStarts) {
    for (std::uint64_t i = 0; i < SegmentQueue::kCapacity; ++i) {
        out.beginSource(48000.0, 0);
        ASSERT_TRUE(cycle(10));
    }
    out.beginSource(48000.0, 0);
    EXPECT_FALSE(cycle(10));  // its start has no room: the chunk goes, the start waits
    EXPECT_FALSE(cycle(10));
    drain();  // the lines are written: room again
    EXPECT_TRUE(cycle(10));
    drain();
    ASSERT_EQ(starts.size(), SegmentQueue::kCapacity + 1);
    EXPECT_EQ(starts.back().sample,
              2 * 10 * SegmentQueue::kCapacity);  // right after the last chunk that went in
    EXPECT_EQ(out.acknowledge(), 40u);
}

TEST_F(SampleOutputTest, TheWriterStopsAtASegmentUntilItsLineIsOutOrItGivesUpWaiting) {
    out.beginSource(48000.0, 0);
    cycle(100);
    EXPECT_TRUE(out.writable().empty());  // the first sample waits for the line
    EXPECT_TRUE(out.heldAtSegment());
    ASSERT_TRUE(out.nextToAnnounce());
    out.lineQueued();
    EXPECT_TRUE(out.writable().empty());  // queued is not written
    out.announced();
    EXPECT_EQ(out.writable().size(), 200u);
    out.consume(200);
    out.beginSource(44100.0, 0);
    cycle(50);
    cycle(50);
    out.passHeldSegment();  // the line is late: the samples go on
    EXPECT_EQ(out.writable().size(), 200u);
    EXPECT_EQ(out.nextToAnnounce()->sample, 200u);  // and its line still names its own frame
}

// Which chunk wakes a sleeping writer: silence may wait for a patient writer (at most kQuietChunks
// chunks of it, and never a segment's first), sound never does. The writer is given time to fall
// asleep before the chunks come; a wake-up is looked for 40 ms after each chunk.
TEST(SampleOutputWake, SilenceWaitsForAPatientWriterSoundAndSegmentStartsNever) {
    struct Case {
        const char* name;
        bool patient;
        bool segment;                      // the first chunk begins a segment
        std::vector<bool> silent;          // the chunks, in order
        std::optional<std::size_t> wakes;  // the chunk after which the writer is awake
    };
    const std::vector<Case> cases{
        {"sound", true, false, {false}, 0},
        {"silence up to the limit, then the next", true, false, {true, true, true}, 2},
        {"sound after silence", true, false, {true, false}, 1},
        {"silence, writer not patient", false, false, {true}, 0},
        {"silence that begins a segment", true, true, {true}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SampleOutput out(1 << 12);
        if (c.segment) out.beginSource(48000.0, 0);
        std::atomic<bool> awake{false};
        std::thread writer([&] {
            out.waitForWork(std::chrono::seconds(3), c.patient);
            awake = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::optional<std::size_t> woke;
        for (std::size_t i = 0; i < c.silent.size() && !woke; ++i) {
            audio::AudioTimeStamp time{};
            time.mSampleTime = static_cast<double>(i * 8);
            time.mFlags = audio::kAudioTimeStampSampleTimeValid;
            out.cycle(&time, 8);
            const auto room = out.reserve(16);
            ASSERT_TRUE(room);
            std::fill(room->first.begin(), room->first.end(), c.silent[i] ? 0.0f : 0.5f);
            out.commit(16, c.silent[i]);
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            if (awake) woke = i;
        }
        if (!woke) out.notice();
        writer.join();
        EXPECT_EQ(woke, c.wakes);
    }
}

}  // namespace lumvar::testing
