// The two sources on the scripted audio system, and the output stream they make.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <limits>
#include <numeric>
#include <regex>
#include <thread>

#include "audio/audio_properties.h"
#include "capture/callback_gate.h"
#include "capture/input_capture.h"
#include "capture/sample_output.h"
#include "capture/tap.h"
#include "support/audio_fixture.h"

namespace lumvar::testing {

using namespace lumvar::audio;
using namespace lumvar::capture;
using Op = ScriptedAudio::Op;
using Count = std::pair<std::int64_t, std::int64_t>;  // zero run, total

struct TapTest : MachineFixture {
    std::shared_ptr<Tap> tap = Tap::create(env, out, sleeper, uuids);
    void TearDown() override { tap->teardown(), expectNothingLeaked(); }
    void running(std::uint32_t channels = 2) {
        tap->teardown();
        hw.setDefaultOutput(addOutput(channels, 48000.0, "out" + std::to_string(channels)));
        ASSERT_TRUE(tap->build());
        err.clear(), clearWritten();
    }
    Count counts() const { return {tap->counters().zeroFrames, tap->counters().totalFrames}; }
    Count deliver(const Buffers& buffers) { return hw.deliver(tap->aggID(), buffers.list()), counts(); }
};

TEST_F(TapTest, BuildsAPrivateTapAndAggregateOnTheOutputAndTearsThemDownInOrder) {
    ASSERT_TRUE(tap->build());
    const TapDescription made = hw.tapsCreated().at(0);
    const AggregateDescription agg = hw.aggregatesCreated().at(0);
    EXPECT_TRUE(made.stereoGlobal && made.excludedProcessObjects.empty() && !made.muteBehavior &&
                made.isPrivate);
    // The device list leaves a device of this name out; the sub-tap is the tap's UID as read back.
    EXPECT_TRUE(agg.name == "LUMVAR Tap" && agg.master == "speakers" && agg.isPrivate && agg.tapAutoStart &&
                agg.taps.size() == 1 && agg.taps[0].uid == made.uuid && !agg.taps[0].drift);
    const std::string uuid = "([0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})";
    const std::regex fresh(uuid + " com\\.vormalde\\.lumvar\\.agg\\.(?!\\1)" + uuid);  // two fresh UUIDs
    EXPECT_TRUE(std::regex_match(made.uuid + " " + agg.uid, fresh)) << made.uuid << " " << agg.uid;
    const std::string aggID = std::to_string(tap->aggID()), tapID = std::to_string(tap->tapID());
    hw.clearCalls();
    tap->teardown();
    tap->teardown();  // a second teardown finds nothing to do
    EXPECT_EQ(hw.calls(),
              (std::vector<std::string>{"deviceStop " + aggID, "destroyIOProcID " + aggID,
                                        "destroyAggregateDevice " + aggID, "destroyProcessTap " + tapID}));
}

// Each build: its line (a failure's last, or none) and its 25 ms waits for the aggregate's rate (1 Hz off is
// near enough; after 40 it goes on). A failed one leaves only a tap whose UID it could not read.
TEST_F(TapTest, EveryBuildSaysWhatItFoundAndAFailedOneCleansUp) {
    using Rate = ScriptedAudio::RateResponse;
    const auto fail = [this](ScriptedAudio::Fault fault) { return [this, fault] { hw.inject(fault); }; };
    const auto rate = [this](Rate r) { return [this, r] { hw.aggregateRateResponse = r; }; };
    const auto output = [this](std::vector<std::uint32_t> streams) {
        return [this, streams] { hw.setDefaultOutput(hw.addDevice({"o", {}, {}, streams})); };
    };
    const std::vector<std::tuple<std::function<void()>, std::string, std::size_t>> cases = {
        {[this] { hw.setDefaultOutput(0); }, "", 0},  // no default output, then a null UID: quietly
        {[this] { hw.setNullString(speakers, kAudioDevicePropertyDeviceUID); }, "", 0},
        {fail({Op::GetPropertyData, {}, kAudioHardwarePropertyDefaultOutputDevice, -1}),
         "  x get default output failed: -1\n", 0},
        {fail({Op::GetPropertyData, speakers, kAudioDevicePropertyDeviceUID, -2}),
         "  x output UID failed: -2\n", 0},
        {fail({Op::GetPropertyData, {}, kAudioTapPropertyUID, -4}), "  x tap UID failed: -4\n", 0},
        {fail({Op::CreateIOProcID, {}, {}, -6}), "  x create IOProc failed: -6\n", 0},
        {fail({Op::DeviceStart, {}, {}, -7}), "  x start failed: -7\n", 0},
        {output({1, 2}), "  output device channels: 3, level correction x1.5\n", 0},  // the streams' summed
        {output({1}), "  output device channels: 1, level correction x1.0\n", 0},
        {fail({Op::GetPropertyData, {}, kAudioDevicePropertyStreamConfiguration, -1}),
         "  output device channels: 0, level correction x1.0\n", 0},
        {[this] { hw.tapKeepsLevel = 1, hw.setDefaultOutput(addOutput(6)); },
         "  output device channels: 6, level correction x1.0\n", 0},
        {rate(Rate::afterReads(3)), "  aggregate rate set -> 48000.0 (wanted 48000.0, tries 3)\n", 3},
        {rate(Rate::immediate(1.0)), "  aggregate rate set -> 48001.0 (wanted 48000.0, tries 0)\n", 0},
        {rate(Rate::immediate(1.5)), "  aggregate rate set -> 48001.5 (wanted 48000.0, tries 40)\n", 40}};
    hw.aggregateInitialRate = 44100.0;
    running();
    deliver(Buffers({std::vector<float>(64, 0.0f)}));
    const auto buildAfter = [this](const std::function<void()>& setup) {
        tap->teardown(), hw.clearFaults(), hw.setDefaultOutput(speakers), sleeper.waits.clear(), err.clear();
        setup();
        return tap->build();
    };
    for (const auto& [setup, line, waits] : cases) {  // the failures first: they keep the counters
        SCOPED_TRACE(line);
        const bool built = !line.empty() && !line.starts_with("  x "),
                   tapKept = line.starts_with("  x tap UID");
        EXPECT_EQ(buildAfter(setup), built);
        EXPECT_EQ(sleeper.waits, std::vector<std::chrono::microseconds>(waits, 25ms));
        const auto lines = err.chunks();
        EXPECT_TRUE(built           ? std::ranges::count(lines, line) == 1
                    : lines.empty() ? line.empty()
                                    : lines.back() == line);
        EXPECT_EQ(hw.liveTaps(), built || tapKept ? 1 : 0);
        EXPECT_EQ(hw.liveAggregates() + hw.liveIOProcs(), built ? 2 : 0);
        EXPECT_EQ(counts(), built ? Count(0, 0) : Count(64, 64));
    }
    EXPECT_TRUE(buildAfter([this] {  // no rate to set, and no format line
        hw.inject({Op::GetPropertyData, speakers, kAudioDevicePropertyNominalSampleRate, -1});
        hw.tapFormat.reset();
    }));
    EXPECT_EQ(err.text(),
              "  output device channels: 2, level correction x1.0\n  rates: output=0.0 aggregate=44100.0\n");
}

TEST_F(TapTest, TheCallbackCountsSilenceAndWritesWholeSamplesScaledWithoutClampingAcrossTheRingsEnd) {
    running();  // scale 1.0: copied bit for bit
    Buffers odd({{0.5f, -0.75f, 9.0f}});
    odd[0].mDataByteSize = 10;  // two samples and two stray bytes that would shift every later sample
    EXPECT_EQ(deliver(odd), Count(0, 2));
    EXPECT_EQ(written(), (std::vector<float>{0.5f, -0.75f}));
    std::vector<float> tiny(512, 0.0f), nan(512, 0.0f);
    tiny[300] = 1e-40f;  // a denormal is not silence
    nan[511] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(deliver(Buffers({std::vector<float>(512, 0.0f)})), Count(512, 514));
    EXPECT_EQ(deliver(Buffers({std::vector<float>(256, -0.0f)})), Count(768, 770));
    EXPECT_EQ(deliver(Buffers({tiny})), Count(0, 1282));
    EXPECT_EQ(deliver(Buffers({nan})), Count(0, 1794));
    Buffers third({std::vector<float>(30000, -0.0f)});
    deliver(third), deliver(third);
    EXPECT_EQ(deliver(third), Count(90000, 91794));  // 90,000 into 65,536: the third goes whole, and counts
    EXPECT_EQ(written().size(), 1794u + 60000);
    deliver(Buffers({std::vector<float>(2, 0.0f)}));
    EXPECT_EQ(out.acknowledge(), 30000u);

    running(3);  // scale 1.5
    EXPECT_EQ(deliver(odd), Count(0, 2));
    EXPECT_EQ(written(), (std::vector<float>{0.75f, -1.125f}));
    std::vector<float> big(40000), scaled(40000);
    for (std::size_t i = 0; i < big.size(); ++i) scaled[i] = 1.5f * (big[i] = static_cast<float>(i));
    clearWritten();
    ASSERT_GT(out.committedTotal() % (1 << 16) + big.size(), 1u << 16);  // the ring's end falls within it
    deliver(Buffers({big}));
    EXPECT_TRUE(written() == scaled);
}

TEST_F(TapTest, TheLayoutOfTheFirstBufferListIsReportedOnceAProcessFromTheMainQueue) {
    running();
    deliver(Buffers({}));
    Buffers nullData({{0.5f, 0.5f}});
    nullData[0].mData = nullptr;
    EXPECT_EQ(deliver(nullData), Count(0, 0));  // no data: nothing counted, no layout kept
    tap->reportLayout();
    const std::vector<float> left(512, 0.25f);
    deliver(Buffers({left, std::vector<float>(512, -0.25f)}, {0, 1}));  // 0 channels count as 1 frame
    EXPECT_EQ(err.text(), "");                                          // the IO thread only keeps the layout
    tap->reportLayout();
    tap->reportLayout();
    EXPECT_EQ(err.text(),
              "  IOProc#1: abl.count=2 buf0.ch=0 bytes=2048 frames=512\n"
              "    buf[0] ch=0 bytes=2048\n    buf[1] ch=1 bytes=2048\n");
    EXPECT_EQ(written(), left);  // only the first buffer reaches the stream
    const AudioDeviceIOBlock stale = hw.callbackOf(tap->aggID());
    running();
    stale(nullptr, &Buffers({left}).list(), nullptr, nullptr, nullptr);  // run late by the platform
    EXPECT_TRUE(written().empty());  // the old callback is no second producer for the new build
    deliver(Buffers({left}));
    tap->reportLayout();
    EXPECT_EQ(err.text(), "");  // once a process, not once a build
}

// Both paths (scale 1.0, 1.5; the ring full in between); the counters read on another thread.
TEST_F(TapTest, TheSteadyStateAllocatesNothingAndTheCountersAreNeverTorn) {
    for (const std::uint32_t channels : {2u, 3u}) {
        running(channels);
        Buffers tone({std::vector<float>(1024, 0.3f)}), silence({std::vector<float>(1024, 0.0f)});
        std::atomic<bool> done{false};
        std::uint64_t allocations = 0;
        std::thread io([&] {
            AllocationScope scope;
            for (int i = 0; i < 2000; ++i) {  // the first cycle keeps the layout
                hw.deliver(tap->aggID(), (i % 3 == 1 ? silence : tone).list());
                if (i % 80 == 79) drainAll(out);
            }
            allocations = scope.count();
            done = true;
        });
        bool torn = false;
        while (!done) {  // buffer i (from 0) was silent when i % 3 == 1
            const auto seen = tap->counters();
            torn |= seen.zeroFrames != ((seen.totalFrames / 1024 - 1) % 3 == 1 ? 1024 : 0);
        }
        io.join();
        EXPECT_FALSE(torn);
        EXPECT_EQ(allocations, 0u) << channels;
        drainAll(out);
        deliver(tone);
        EXPECT_GT(out.acknowledge(), 0u);
    }
}

struct InputCaptureTest : MachineFixture {
    std::shared_ptr<InputCapture> input = InputCapture::create(env, out);
    void TearDown() override { input->stop(), expectNothingLeaked(); }
};

// A name or UID from the platform or the parent is one line wherever it is echoed; the device is found by
// the UID exactly as given; a failed start leaves no IO proc behind.
TEST_F(InputCaptureTest, EveryStartSaysWhatItFoundAndAFailedOneLeavesItIdle) {
    addOutput(2, 48000.0, "o\x0B");
    const AudioObjectID unreadable = addInput("unreadable", "Mic", {1});
    hw.addDevice({.uid = "nameless", .name = std::nullopt, .inputStreams = {1}, .outputStreams = {}});
    const ScriptedAudio::Fault noProc{Op::CreateIOProcID, mic, {}, -1}, noStart{Op::DeviceStart, mic, {}, -2},
        noName{Op::GetPropertyData, unreadable, kAudioObjectPropertyName, -9};
    const std::string fffd = "\xEF\xBF\xBD", deskMic = "  input device 'Desk Mic' channels: 2\n",
                      speakers = "  input device 'Speakers' channels: 0\n";
    using Row = std::tuple<std::string, std::optional<ScriptedAudio::Fault>, bool, std::string>;
    for (const auto& [uid, fault, starts, lines] :
         {Row{"MIC", {}, false, "  x input device not found: MIC\n"},
          Row{"o\x0B", {}, false, speakers + "  x input device has no input channels: o" + fffd + "\n"},
          Row{"mic", noProc, false, deskMic + "  x create input IOProc failed: -1\n"},
          Row{"mic", noStart, false, deskMic + "  x start input failed: -2\n"},
          Row{"unreadable", noName, true, "  x n failed: -9\n  input device 'unreadable' channels: 1\n"},
          Row{"nameless", {}, true, "  input device 'nameless' channels: 1\n"}}) {
        SCOPED_TRACE(uid);
        hw.clearFaults();
        if (fault) hw.inject(*fault);
        err.clear();
        EXPECT_EQ(input->start(uid), starts);
        EXPECT_EQ(err.text(), lines);
        EXPECT_EQ(std::pair(input->devID() != 0, hw.liveIOProcs()), std::pair(starts, starts ? 1 : 0));
        input->stop();
    }
    ASSERT_TRUE(input->start("mic"));
    const AudioDeviceIOBlock stale = hw.callbackOf(mic);
    hw.clearCalls();
    input->stop();
    input->stop();  // stopped once: the second finds nothing to do
    const std::string id = std::to_string(mic);
    EXPECT_EQ(hw.calls(), (std::vector<std::string>{"deviceStop " + id, "destroyIOProcID " + id}));
    // A platform that runs the old callback late must not make it a second producer of the next capture.
    ASSERT_TRUE(input->start("mic"));
    stale(nullptr, &Buffers({{0.5f, 0.25f}}).list(), nullptr, nullptr, nullptr);
    EXPECT_TRUE(written().empty());
}

TEST_F(InputCaptureTest, FramesGoOutAsTwoChannelsSecondChannelFirst) {
    ASSERT_TRUE(input->start("mic"));
    const auto frames = [this](const Buffers& in) {
        return clearWritten(), hw.deliver(mic, in.list()), written();
    };
    using F = std::vector<float>;
    EXPECT_EQ(frames(Buffers({{1, 2, 3, 4}}, {2})), F({2, 1, 4, 3}));
    EXPECT_EQ(frames(Buffers({{5, 6}}, {1})), F({5, 5, 6, 6}));                          // mono doubled
    EXPECT_EQ(frames(Buffers({{0, 1, 2, 3, 10, 11, 12, 13}}, {4})), F({1, 0, 11, 10}));  // 2 and 3 dropped
    EXPECT_EQ(frames(Buffers({{1, 2, 3, 4, 5}}, {2})), F({2, 1, 4, 3}));  // half a frame dropped
    EXPECT_EQ(frames(Buffers({{1, 2}}, {3})), F());                       // less than a frame
    EXPECT_EQ(frames(Buffers({{1, 2}}, {0})), F());
    EXPECT_EQ(frames(Buffers({})), F());  // no buffer at all
    EXPECT_EQ(frames(Buffers({{1, 2, 3}, {10, 20, 30}}, {1, 1})), F({10, 1, 20, 2, 30, 3}));
    EXPECT_EQ(frames(Buffers({{1, 2}, {10, 20}, {100, 200}}, {1, 1, 1})), F({10, 1, 20, 2}));
    Buffers nullFirst({{1, 2}, {10, 20}}, {1, 1}), nullSecond({{1, 2}, {10, 20}}, {1, 1});
    nullFirst[0].mData = nullSecond[1].mData = nullptr;
    EXPECT_EQ(frames(nullSecond), F({1, 1, 2, 2}));  // as a mono device
    EXPECT_EQ(frames(nullFirst), F());
    // The second buffer is one value short and holds exactly that: a read past it is caught by ASan.
    EXPECT_EQ(frames(Buffers({{1, 2, 3}, {10, 20}}, {1, 1})), F({10, 1, 20, 2}));
    // Several channels to a buffer: channels 1 and 0 wherever they lie, each buffer at its own stride.
    EXPECT_EQ(frames(Buffers({{1, 2, 3, 4}, {10, 20, 30, 40}}, {2, 2})), F({2, 1, 4, 3}));
    EXPECT_EQ(frames(Buffers({{1, 2}, {10, 11, 20, 21}}, {1, 2})), F({10, 1, 20, 2}));
}

TEST_F(InputCaptureTest, NoCycleAllocatesAndOnlyWholeBuffersAreDropped) {
    ASSERT_TRUE(input->start("mic"));
    Buffers stereo({std::vector<float>(1024, 0.5f)}, {2});
    Buffers planar({std::vector<float>(512, 0.5f), std::vector<float>(512, -0.5f)}, {1, 1});
    Buffers huge({std::vector<float>(40000, 0.25f)}, {2});  // 20,000 frames: a cycle after a stall
    AllocationScope scope;
    hw.deliver(mic, huge.list());
    for (int i = 0; i < 1000; ++i) {
        hw.deliver(mic, (i % 2 ? stereo : planar).list());
        if (i % 80 == 79) drainAll(out);  // the ring fills up in between
    }
    EXPECT_EQ(scope.count(), 0u);
    drainAll(out);
    hw.deliver(mic, stereo.list());  // the stream goes on: the last hole is over
    const std::uint64_t dropped = out.acknowledge();
    EXPECT_TRUE(dropped > 0 && dropped % 1024 == 0) << dropped;
}

constexpr std::uint32_t kBoth = audio::kAudioTimeStampSampleTimeValid | audio::kAudioTimeStampHostTimeValid;

struct SampleOutputTest : ::testing::Test {
    SampleOutput out{1 << 16};
    double sampleTime = 0.0;
    std::uint64_t hostTime = 1'000'000;
    std::vector<SegmentStart> starts;
    // One IO cycle, stamped to follow the previous one unless told otherwise; whether its chunk went in.
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
    for (std::uint64_t done = 0; done <= SegmentTracker::kAnchorFrames; done += 10'000)
        cycle(10'000), frames();
    EXPECT_EQ(frames(), (std::vector<std::uint64_t>{500, 500 + SegmentTracker::kAnchorFrames}));
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

// Silence may wait for a patient writer (at most kQuietChunks chunks, never a segment's first). Chunks come
// once the writer sleeps ('s' silent, 'S' silent and a segment's first, 't' sound), 40 ms apart.
TEST(SampleOutputWake, SilenceWaitsForAPatientWriterSoundAndSegmentStartsNever) {
    using Case = std::tuple<bool, std::string, std::size_t>;
    for (const auto& [patient, chunks, wakes] :
         {Case{true, "t", 0}, Case{true, "sss", 2}, Case{true, "st", 1}, Case{false, "s", 0},
          Case{true, "S", 0}}) {
        SampleOutput out(1 << 12);
        if (chunks[0] == 'S') out.beginSource(48000.0, 0);
        std::atomic<bool> awake{false};
        std::thread writer([&, patient = patient] { out.waitForWork(3s, patient), awake = true; });
        std::this_thread::sleep_for(100ms);
        std::optional<std::size_t> woke;
        for (std::size_t i = 0; i < chunks.size() && !woke; ++i) {
            const auto room = out.reserve(16);
            std::fill(room->first.begin(), room->first.end(), chunks[i] == 't' ? 0.5f : 0.0f);
            out.commit(16, chunks[i] != 't');
            std::this_thread::sleep_for(40ms);
            if (awake) woke = i;
        }
        if (!woke) out.notice();
        writer.join();
        EXPECT_EQ(woke, wakes) << patient << chunks;
    }
}

// Chunks of 0, 1, 2, ... of every length up to 97 end anywhere in the ring, whole or not at all.
TEST(SampleRing, AProducerAndAConsumerThreadLoseNothingAndReorderNothing) {
    SampleRing ring(1000);
    const auto put = [&ring](float from, std::size_t count) {  // false: no room for all of them
        const auto room = ring.reserve(count);
        if (!room) return false;
        std::iota(room->first.begin(), room->first.end(), from);
        std::iota(room->second.begin(), room->second.end(), from + static_cast<float>(room->first.size()));
        return ring.commit(count), true;
    };
    constexpr std::size_t kTotal = 2'000'000;  // floats count exactly up to 2^24
    std::thread producer([&] {
        for (std::size_t next = 0; next < kTotal;) {
            const std::size_t chunk = std::min<std::size_t>(1 + next % 97, kTotal - next);
            if (put(static_cast<float>(next), chunk)) next += chunk;
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
    EXPECT_FALSE(put(0, 1001));               // more than it holds: refused whole
    EXPECT_TRUE(put(0, 1000) && !put(0, 1));  // exactly full, then nothing more
}

TEST(CallbackGate, CloseWaitsForTheCallbackInsideAndTurnsAwayLaterOnes) {
    CallbackGate gate;
    ASSERT_TRUE(gate.enter());
    std::atomic<bool> closed{false};
    std::thread stopper([&] { gate.close(), closed = true; });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(closed);  // a callback is still inside
    gate.leave();
    stopper.join();
    EXPECT_FALSE(gate.enter());
}

}  // namespace lumvar::testing
