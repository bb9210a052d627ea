// The system tap: its build and teardown against the scripted audio system, and its IO callback as the
// aggregate device delivers buffers.
#include "capture/tap.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <regex>
#include <thread>

#include "audio/audio_properties.h"
#include "support/alloc_counter.h"
#include "support/audio_fixture.h"

namespace lumvar::testing {

using namespace lumvar::audio;
using capture::Tap;
using Op = ScriptedAudio::Op;

struct TapTest : AudioFixture {
    AudioObjectID speakers = 0;
    std::shared_ptr<Tap> tap = Tap::create(env, out, sleeper, uuids);
    void SetUp() override { hw.setDefaultOutput(speakers = addOutput(2, 48000.0, "speakers")); }
    void TearDown() override {
        tap->teardown();
        expectNothingLeaked();
    }
    // A running tap on a default output of `channels`.
    void running(std::uint32_t channels = 2) {
        hw.setDefaultOutput(addOutput(channels, 48000.0, "out" + std::to_string(channels)));
        ASSERT_TRUE(tap->build());
        err.clear();
    }
    void deliver(const Buffers& buffers) { EXPECT_EQ(hw.deliver(tap->aggID(), buffers.list()), 1); }
    std::vector<std::string> lines() const { return err.chunks(); }
};

TEST_F(TapTest, BuildsTapAggregateAndCallbackAndTearsThemDownInOrder) {
    ASSERT_TRUE(tap->build());
    EXPECT_EQ(err.text(),
              "  output device channels: 2, level correction x1.0\n"
              "  aggregate rate set -> 48000.0 (wanted 48000.0, tries 0)\n"
              "  rates: output=48000.0 aggregate=48000.0\n"
              "  tap format: rate=48000.0 ch=2 bytesPerFrame=8 framesPerPacket=1 flags=9\n");
    const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
    const TapDescription description = hw.tapsCreated().at(0);
    EXPECT_TRUE(description.stereoGlobal && description.excludedProcessObjects.empty() &&
                description.muteBehavior == 0 && description.isPrivate);
    EXPECT_TRUE(std::regex_match(description.uuid, uuid)) << description.uuid;
    const AggregateDescription aggregate = hw.aggregatesCreated().at(0);
    EXPECT_EQ(aggregate.name, "LUMVAR Tap");
    ASSERT_EQ(aggregate.uid.rfind("com.vormalde.lumvar.agg.", 0), 0u);
    EXPECT_TRUE(std::regex_match(aggregate.uid.substr(24), uuid)) << aggregate.uid;
    EXPECT_NE(aggregate.uid.substr(24), description.uuid);
    EXPECT_EQ(aggregate.master, "speakers");
    EXPECT_TRUE(aggregate.isPrivate && aggregate.tapAutoStart);
    ASSERT_EQ(aggregate.taps.size(), 1u);
    EXPECT_EQ(aggregate.taps[0].uid, description.uuid);  // the tap's own UID, as read back
    EXPECT_FALSE(aggregate.taps[0].drift);
    const std::string agg = std::to_string(tap->aggID()), tapId = std::to_string(tap->tapID());
    hw.clearCalls();
    tap->teardown();
    tap->teardown();  // a second teardown finds nothing to do
    EXPECT_EQ(hw.calls(),
              (std::vector<std::string>{"deviceStop " + agg, "destroyIOProcID " + agg,
                                        "destroyAggregateDevice " + agg, "destroyProcessTap " + tapId}));
    EXPECT_FALSE(tap->running());
}

TEST_F(TapTest, LevelCorrectionIsHalfTheOutputChannelsUnlessThePlatformKeepsTheLevel) {
    const std::vector<std::pair<std::vector<std::uint32_t>, std::string>> cases = {
        {{2}, "2, level correction x1.0"}, {{6}, "6, level correction x3.0"},
        {{3}, "3, level correction x1.5"}, {{2, 2}, "4, level correction x2.0"},
        {{1}, "1, level correction x1.0"}, {{}, "0, level correction x1.0"}};
    for (const auto& [streams, expected] : cases) {
        hw.setDefaultOutput(
            hw.addDevice({.uid = "out", .name = {}, .inputStreams = {}, .outputStreams = streams}));
        err.clear();
        ASSERT_TRUE(tap->build());
        EXPECT_EQ(lines().at(0), "  output device channels: " + expected + "\n");
        tap->teardown();
    }
    hw.inject({Op::GetPropertyData, std::nullopt, kAudioDevicePropertyStreamConfiguration, -1});
    err.clear();
    ASSERT_TRUE(tap->build());  // an unreadable channel count is 0
    EXPECT_EQ(lines().at(0), "  output device channels: 0, level correction x1.0\n");
    tap->teardown();
    hw.clearFaults();
    hw.tapKeepsLevel = 1;
    hw.setDefaultOutput(addOutput(6));
    err.clear();
    ASSERT_TRUE(tap->build());
    EXPECT_EQ(lines().at(0), "  output device channels: 6, level correction x1.0\n");
}

TEST_F(TapTest, RateReconciliationWaitsAtMostFortyTimesAndAcceptsOneHertz) {
    struct Case {
        ScriptedAudio::RateResponse response;
        std::string line;
        std::size_t waits;
    };
    for (const Case& row : std::vector<Case>{
             {ScriptedAudio::RateResponse::neverChanges(), "(wanted 48000.0, tries 40)",
              40},  // no failure either
             {ScriptedAudio::RateResponse::afterReads(3), "-> 48000.0 (wanted 48000.0, tries 3)", 3},
             {ScriptedAudio::RateResponse::immediate(1.0), "-> 48001.0 (wanted 48000.0, tries 0)", 0},
             {ScriptedAudio::RateResponse::immediate(1.5), "-> 48001.5 (wanted 48000.0, tries 40)", 40}}) {
        hw.aggregateRateResponse = row.response;
        sleeper.waits.clear();
        err.clear();
        ASSERT_TRUE(tap->build());
        EXPECT_NE(lines().at(1).find(row.line), std::string::npos) << lines().at(1);
        EXPECT_EQ(sleeper.waits,
                  std::vector<std::chrono::microseconds>(row.waits, std::chrono::microseconds(25000)));
        tap->teardown();
    }
    hw.inject({Op::GetPropertyData, speakers, kAudioDevicePropertyNominalSampleRate, -1});
    hw.tapFormat.reset();
    err.clear();
    ASSERT_TRUE(tap->build());  // no rate to set, and no format line
    EXPECT_EQ(lines(), (std::vector<std::string>{"  output device channels: 2, level correction x1.0\n",
                                                 "  rates: output=0.0 aggregate=44100.0\n"}));
}

TEST_F(TapTest, EveryFailureCleansUpWhatItMadeAndKeepsTheCounters) {
    running();
    deliver(Buffers({std::vector<float>(64, 0.0f)}));
    tap->teardown();
    struct Row {
        std::optional<ScriptedAudio::Fault> fault;  // none: no default output, then a null output UID
        std::string lastLine;                       // empty: no failure line
        int tapsLeft;  // a tap whose UID could not be read stays for the teardown
    };
    const AudioObjectID system = kAudioObjectSystemObject;
    const Row rows[] = {
        {std::nullopt, "", 0},
        {std::nullopt, "", 0},
        {{{Op::GetPropertyData, system, kAudioHardwarePropertyDefaultOutputDevice, -1}},
         "  x get default output failed: -1\n",
         0},
        {{{Op::GetPropertyData, speakers, kAudioDevicePropertyDeviceUID, -2}},
         "  x output UID failed: -2\n",
         0},
        {{{Op::CreateProcessTap, {}, {}, -3}}, "  x create tap failed: -3\n", 0},
        {{{Op::GetPropertyData, std::nullopt, kAudioTapPropertyUID, -4}}, "  x tap UID failed: -4\n", 1},
        {{{Op::CreateAggregateDevice, {}, {}, -5}}, "  x create aggregate failed: -5\n", 0},
        {{{Op::CreateIOProcID, {}, {}, -6}}, "  x create IOProc failed: -6\n", 0},
        {{{Op::DeviceStart, {}, {}, -7}}, "  x start failed: -7\n", 0},
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(i);
        hw.clearFaults();
        hw.setDefaultOutput(i == 0 ? 0 : speakers);
        if (i == 1) hw.setNullString(speakers, kAudioDevicePropertyDeviceUID);
        if (rows[i].fault) hw.inject(*rows[i].fault);
        err.clear();
        EXPECT_FALSE(tap->build());
        EXPECT_EQ(rows[i].lastLine.empty() ? "" : lines().back(), rows[i].lastLine);
        EXPECT_EQ(hw.liveTaps(), rows[i].tapsLeft);
        EXPECT_EQ(hw.liveAggregates() + hw.liveIOProcs(), 0);
        EXPECT_EQ(tap->counters().zeroFrames, 64);
        EXPECT_EQ(tap->counters().totalFrames, 64);
        tap->teardown();
    }
}

TEST_F(TapTest, NothingHappensWithoutDataOrAfterTheStopAndTheLayoutIsReportedOnceFromTheMainQueue) {
    running();
    audio::BufferListStorage empty(0);
    hw.deliver(tap->aggID(), empty.list());
    Buffers nullData({{0.5f, 0.5f}});
    nullData[0].mData = nullptr;
    deliver(nullData);
    tap->reportLayout();
    EXPECT_EQ(err.text(), "");
    EXPECT_FALSE(tap->logged());
    EXPECT_EQ(tap->counters().totalFrames, 0);
    std::vector<float> left(512, 0.25f), right(512, -0.25f);
    deliver(Buffers({left, right}, {0, 1}));  // a channel count of 0 counts as 1 for the frames
    EXPECT_EQ(err.text(), "");                // the IO thread only keeps the layout
    tap->reportLayout();
    tap->reportLayout();
    EXPECT_EQ(err.text(),
              "  IOProc#1: abl.count=2 buf0.ch=0 bytes=2048 frames=512\n"
              "    buf[0] ch=0 bytes=2048\n    buf[1] ch=1 bytes=2048\n");
    EXPECT_EQ(written(), left);  // only the first buffer reaches the stream
    const AudioDeviceIOBlock stale = hw.callbackOf(tap->aggID());
    tap->teardown();
    ASSERT_TRUE(tap->build());  // the diagnostic is once a process, not once a build
    stale(nullptr, &Buffers({left}).list(), nullptr, nullptr, nullptr);  // run late by the platform
    EXPECT_EQ(written(), left);  // the old callback is no second producer for the new build
    deliver(Buffers({left}));
    err.clear();
    tap->reportLayout();
    EXPECT_EQ(err.text(), "");
}

TEST_F(TapTest, SilenceCountersFollowTheFirstBufferDroppedOrNot) {
    running();
    using Count = std::pair<std::int64_t, std::int64_t>;  // zero run, total
    const auto count = [&](std::vector<float> samples) {
        deliver(Buffers({std::move(samples)}));
        return Count{tap->counters().zeroFrames, tap->counters().totalFrames};
    };
    EXPECT_EQ(count(std::vector<float>(512, 0.0f)), Count(512, 512));
    EXPECT_EQ(count(std::vector<float>(256, -0.0f)), Count(768, 768));
    std::vector<float> tiny(512, 0.0f), nan(512, 0.0f);
    tiny[300] = 1e-40f;  // a denormal is not silence
    nan[511] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(count(tiny), Count(0, 1280));
    count(std::vector<float>(512, 0.0f));
    EXPECT_EQ(count(nan), Count(0, 2304));
    clearWritten();
    for (int i = 0; i < 3; ++i) count(std::vector<float>(30000, 0.0f));  // 90 000 into a ring of 65 536
    EXPECT_EQ(written().size(), 60000u);                                 // the third buffer went whole,
    EXPECT_EQ(tap->counters().zeroFrames, 90000);                        // and still counts
    EXPECT_EQ(out.acknowledge(), 0u);  // told once the stream goes on after the hole
    count(std::vector<float>(2, 0.0f));
    EXPECT_EQ(out.acknowledge(), 30000u);
}

TEST_F(TapTest, OnlyWholeSamplesGoOutScaledWithoutClampingAcrossTheRingsEnd) {
    running(2);
    Buffers odd({{0.5f, -0.75f, 9.0f}});
    odd[0].mDataByteSize = 10;  // two samples and two stray bytes that would shift every later sample
    deliver(odd);
    EXPECT_EQ(written(), (std::vector<float>{0.5f, -0.75f}));
    EXPECT_EQ(tap->counters().totalFrames, 2);
    tap->teardown();
    running(3);  // scale 1.5
    clearWritten();
    deliver(odd);
    odd[0].mDataByteSize = 3;  // less than one sample: nothing counted, nothing written
    deliver(odd);
    EXPECT_EQ(written(), (std::vector<float>{0.75f, -1.125f}));
    EXPECT_EQ(tap->counters().totalFrames, 2);
    std::vector<float> big(40000);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<float>(i);
    deliver(Buffers({big}));
    clearWritten();
    deliver(Buffers({big}));  // starts 40 002 samples into a ring of 65 536
    ASSERT_EQ(written().size(), big.size());
    for (std::size_t i = 0; i < big.size(); ++i) ASSERT_EQ(written()[i], big[i] * 1.5f) << i;
}

TEST_F(TapTest, TheSteadyStateAllocatesNothingOnEitherPath) {
    for (const std::uint32_t channels : {2u, 3u}) {  // scale 1.0, then 1.5
        running(channels);
        Buffers tone({std::vector<float>(1024, 0.3f)}), silence({std::vector<float>(1024, 0.0f)});
        deliver(tone);  // the first cycle keeps the layout
        AllocationScope scope;
        for (int i = 0; i < 2000; ++i) {
            hw.deliver(tap->aggID(), (i % 3 == 0 ? silence : tone).list());
            if (i % 80 == 79) discardAll(out);  // the ring fills up in between: both paths run
        }
        EXPECT_EQ(scope.count(), 0u) << channels;
        discardAll(out);
        deliver(tone);
        EXPECT_GT(out.acknowledge(), 0u);
        discardAll(out);
        tap->teardown();
    }
}

TEST_F(TapTest, CountersStayConsistentWhileAnotherThreadDelivers) {
    running();
    Buffers silence({std::vector<float>(256, 0.0f)});
    std::atomic<bool> done{false};
    std::thread io([&] {
        for (int i = 0; i < 20000; ++i) hw.deliver(tap->aggID(), silence.list());
        done = true;
    });
    while (!done) {
        const auto seen = tap->counters();
        ASSERT_EQ(seen.zeroFrames, seen.totalFrames);
        ASSERT_EQ(seen.totalFrames % 256, 0);
    }
    io.join();
    EXPECT_EQ(tap->counters().totalFrames, 20000 * 256);
}

}  // namespace lumvar::testing
