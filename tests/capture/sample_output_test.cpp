// The output stream as the IO callbacks make it: its segments, which chunk wakes the writer (its wait for
// their lines: the process and standard error tests), the ring under it and the gate that keeps a stopped
// source's late callback out.
#include "capture/sample_output.h"

#include <gtest/gtest.h>

#include <atomic>
#include <numeric>
#include <thread>

#include "capture/callback_gate.h"
#include "support/audio_fixture.h"

namespace lumvar::testing {

using capture::CallbackGate;
using capture::SampleOutput;
using capture::SampleRing;
using capture::SegmentQueue;
using capture::SegmentStart;
constexpr std::uint32_t kBoth = audio::kAudioTimeStampSampleTimeValid | audio::kAudioTimeStampHostTimeValid;

struct SampleOutputTest : ::testing::Test {
    SampleOutput out{1 << 16};
    double sampleTime = 0.0;
    std::uint64_t hostTime = 1'000'000;
    std::vector<SegmentStart> starts;
    // One IO cycle of `frames` stereo frames, stamped to follow the previous one unless told otherwise;
    // whether its chunk went in.
    bool cycle(std::size_t frames, std::optional<double> at = std::nullopt) {
        const audio::AudioTimeStamp time{
            .mSampleTime = at.value_or(sampleTime), .mHostTime = hostTime, .mFlags = kBoth};
        sampleTime = time.mSampleTime + static_cast<double>(frames);
        hostTime += frames * 1000;
        out.cycle(&time, frames);
        return out.write(std::vector<float>(2 * frames, 0.5f));
    }
    // The stream frames where the segments begin, once the main queue and a writer have kept up.
    std::vector<std::uint64_t> frames() {
        std::vector<std::uint64_t> at;
        for (drainAll(out, &starts); const SegmentStart& start : starts) at.push_back(start.sample / 2);
        return at;
    }
};

TEST_F(SampleOutputTest, ASegmentBeginsAtAStartAJumpEitherWayAndEveryAnchor) {
    out.beginSource(48000.0, 2500);
    cycle(100);  // the start, at frame 0
    cycle(100);
    cycle(100, 200.5);  // half a frame off: the same clock
    cycle(100, 400.5);  // a jump forward (frame 300)
    cycle(100, 350.5);  // and back (frame 400)
    EXPECT_EQ(frames(), (std::vector<std::uint64_t>{0, 300, 400}));
    starts.clear();
    out.beginSource(48000.0, 0);  // from frame 500: its anchor falls on a chunk's first frame
    for (std::uint64_t done = 0; done <= capture::SegmentTracker::kAnchorFrames; done += 10'000)
        cycle(10'000), frames();
    EXPECT_EQ(frames(), (std::vector<std::uint64_t>{500, 500 + capture::SegmentTracker::kAnchorFrames}));
    starts.clear();
    out.beginSource(16000.0, 0);
    out.cycle(nullptr, 10);  // a platform without stamps: no host time
    out.write(std::vector<float>(20, 0.0f));
    ASSERT_EQ(frames().size(), 1u);
    EXPECT_FALSE(starts[0].hostTimeValid);
}

TEST_F(SampleOutputTest, EveryHoleBeginsASegmentAndAFullSegmentQueueDropsChunksNeverStarts) {
    out.beginSource(48000.0, 0);
    EXPECT_TRUE(cycle(16384) && cycle(16384));  // the ring is full
    EXPECT_FALSE(cycle(100));                   // nobody reads: dropped
    for (int i = 0; i < 10; ++i) cycle(100);
    EXPECT_EQ(out.acknowledge(), 0u);  // the hole is still open
    out.consume(8192);                 // 1/8 of the ring free: still dropping
    EXPECT_FALSE(cycle(100));
    out.consume(8192);  // a quarter free: the next chunk goes in and begins the hole's segment
    EXPECT_TRUE(cycle(100));
    EXPECT_FALSE(cycle(16384));  // a second hole in the same episode
    out.consume(32768);
    EXPECT_TRUE(cycle(100) && cycle(100));  // the second in the same segment
    EXPECT_EQ(out.acknowledge(), 2u * (100 * 12 + 16384));
    EXPECT_EQ(frames(), (std::vector<std::uint64_t>{0, 32768, 32868}));
    // A full segment queue drops the chunks that would begin one, never a start.
    starts.clear();
    for (std::uint64_t i = 0; i < SegmentQueue::kCapacity; ++i) {
        out.beginSource(48000.0, 0);
        ASSERT_TRUE(cycle(10));
    }
    out.beginSource(48000.0, 0);
    EXPECT_FALSE(cycle(10) || cycle(10));  // its start has no room: the chunks go, the start waits
    frames();                              // the lines are written: room again
    EXPECT_TRUE(cycle(10));
    EXPECT_EQ(frames().size(), SegmentQueue::kCapacity + 1);
    EXPECT_EQ(starts.back().sample, 2 * (33068 + 10 * SegmentQueue::kCapacity));  // after the last chunk in
    EXPECT_EQ(out.acknowledge(), 40u);
}

// Which chunk wakes a sleeping writer: silence may wait for a patient writer (at most kQuietChunks
// chunks of it, and never a segment's first), sound never does. The writer is given time to fall
// asleep before the chunks come ('s' silent, 'S' silent and a segment's first, 't' sound); a wake-up is
// looked for 40 ms after each chunk.
TEST(SampleOutputWake, SilenceWaitsForAPatientWriterSoundAndSegmentStartsNever) {
    using Case = std::tuple<bool, std::string, std::size_t>;
    for (const auto& [patient, chunks, wakes] :
         {Case{true, "t", 0}, Case{true, "sss", 2}, Case{true, "st", 1}, Case{false, "s", 0},
          Case{true, "S", 0}}) {
        SampleOutput out(1 << 12);
        if (chunks[0] == 'S') out.beginSource(48000.0, 0);
        std::atomic<bool> awake{false};
        std::thread writer(
            [&, patient = patient] { out.waitForWork(std::chrono::seconds(3), patient), awake = true; });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::optional<std::size_t> woke;
        for (std::size_t i = 0; i < chunks.size() && !woke; ++i) {
            const auto room = out.reserve(16);
            std::fill(room->first.begin(), room->first.end(), chunks[i] == 't' ? 0.5f : 0.0f);
            out.commit(16, chunks[i] != 't');
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
            if (awake) woke = i;
        }
        if (!woke) out.notice();
        writer.join();
        EXPECT_EQ(woke, wakes) << patient << chunks;
    }
}

// Writes `count` values from `from` on as one chunk; false when the ring has no room for all of them.
static bool put(SampleRing& ring, float from, std::size_t count) {
    const auto room = ring.reserve(count);
    if (!room) return false;
    std::iota(room->first.begin(), room->first.end(), from);
    std::iota(room->second.begin(), room->second.end(), from + static_cast<float>(room->first.size()));
    ring.commit(count);
    return true;
}

// A producer thread writes 0, 1, 2, ... in chunks of every length up to 97 (so they end anywhere in the
// ring, whole or not at all) while this one reads: nothing lost, repeated or out of order.
TEST(SampleRing, AProducerAndAConsumerThreadLoseNothingAndReorderNothing) {
    SampleRing ring(1000);
    constexpr std::size_t kTotal = 2'000'000;  // floats count exactly up to 2^24
    std::thread producer([&] {
        for (std::size_t next = 0; next < kTotal;) {
            const std::size_t chunk = std::min<std::size_t>(1 + next % 97, kTotal - next);
            if (put(ring, static_cast<float>(next), chunk)) next += chunk;
        }
    });
    std::size_t seen = 0;
    bool ordered = true;
    while (seen < kTotal) {
        const auto part = ring.readable();
        for (const float value : part) ordered &= value == static_cast<float>(seen++);
        ring.consume(part.size());
    }
    producer.join();
    EXPECT_TRUE(ordered);
    EXPECT_FALSE(put(ring, 0, 1001));                     // more than it holds: refused whole
    EXPECT_TRUE(put(ring, 0, 1000) && !put(ring, 0, 1));  // exactly full, then nothing more
}

TEST(CallbackGate, CloseWaitsForTheCallbackInsideAndTurnsAwayLaterOnes) {
    CallbackGate gate;
    ASSERT_TRUE(gate.enter());
    std::atomic<bool> closed{false};
    std::thread stopper([&] { gate.close(), closed = true; });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(closed);  // a callback is still inside
    gate.leave();
    stopper.join();
    EXPECT_FALSE(gate.enter());
}

}  // namespace lumvar::testing
