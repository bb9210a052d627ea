#include <gtest/gtest.h>

#include <regex>

#include "audio/audio_properties.h"
#include "capture/tap.h"
#include "support/audio_fixture.h"

namespace lumvar::testing {

using namespace lumvar::audio;
using capture::Tap;
using Op = ScriptedAudio::Op;

const std::regex kUuid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");

struct TapBuild : AudioFixture {
    AudioObjectID speakers = 0;
    std::shared_ptr<Tap> tap = Tap::create(env, out, sleeper, uuids);

    void SetUp() override {
        speakers = addOutput(2, 48000.0, "speakers");
        hw.setDefaultOutput(speakers);
    }
    void TearDown() override {
        tap->teardown();
        expectNothingLeaked();
    }
    std::vector<std::string> lines() const { return err.chunks(); }
};

TEST_F(TapBuild, BuildsTapAggregateAndCallbackAndTearsThemDownInOrder) {
    ASSERT_TRUE(tap->build());
    EXPECT_EQ(lines(), (std::vector<std::string>{
                           "  output device channels: 2, level correction x1.0\n",
                           "  aggregate rate set -> 48000.0 (wanted 48000.0, tries 0)\n",
                           "  rates: output=48000.0 aggregate=48000.0\n",
                           "  tap format: rate=48000.0 ch=2 bytesPerFrame=8 framesPerPacket=1 flags=9\n",
                       }));
    EXPECT_EQ(hw.liveTaps(), 1);
    EXPECT_EQ(hw.liveAggregates(), 1);
    EXPECT_EQ(hw.startedIOProcs(), 1);

    const TapDescription description = hw.tapsCreated().at(0);
    EXPECT_TRUE(description.stereoGlobal);
    EXPECT_TRUE(description.excludedProcesses.empty());
    EXPECT_EQ(description.muteBehavior, 0);
    EXPECT_TRUE(std::regex_match(description.uuid, kUuid)) << description.uuid;

    const AggregateDescription aggregate = hw.aggregatesCreated().at(0);
    EXPECT_EQ(aggregate.name, "LUMVAR Tap");
    ASSERT_EQ(aggregate.uid.rfind("com.vormalde.lumvar.agg.", 0), 0u);
    EXPECT_TRUE(std::regex_match(aggregate.uid.substr(24), kUuid)) << aggregate.uid;
    EXPECT_NE(aggregate.uid.substr(24), description.uuid);
    EXPECT_EQ(aggregate.master, "speakers");
    EXPECT_TRUE(aggregate.isPrivate);
    EXPECT_TRUE(aggregate.tapAutoStart);
    ASSERT_EQ(aggregate.taps.size(), 1u);
    EXPECT_EQ(aggregate.taps[0].uid, description.uuid);  // the tap's own UID, as read back
    EXPECT_FALSE(aggregate.taps[0].drift);

    // The aggregate's buffers reach the stream.
    Buffers buffer({{0.25f, -0.25f}});
    EXPECT_EQ(hw.deliver(tap->aggID(), buffer.list()), 1);
    EXPECT_EQ(written(), (std::vector<float>{0.25f, -0.25f}));

    const std::string agg = std::to_string(tap->aggID()), tapId = std::to_string(tap->tapID());
    hw.clearCalls();
    tap->teardown();
    tap->teardown();  // a second teardown finds nothing to do
    EXPECT_EQ(hw.calls(), (std::vector<std::string>{"deviceStop " + agg, "destroyIOProcID " + agg,
                                                    "destroyAggregateDevice " + agg, "destroyProcessTap " + tapId}));
    EXPECT_EQ(tap->tapID(), 0u);
    EXPECT_EQ(tap->aggID(), 0u);
    EXPECT_EQ(tap->ioProcID(), nullptr);
    EXPECT_EQ(hw.deliver(std::stoul(agg), buffer.list()), 0);
}

TEST_F(TapBuild, LevelCorrectionIsHalfTheOutputChannels) {
    const std::vector<std::pair<std::vector<std::uint32_t>, const char*>> cases = {
        {{2}, "2, level correction x1.0"}, {{6}, "6, level correction x3.0"}, {{3}, "3, level correction x1.5"},
        {{2, 2}, "4, level correction x2.0"}, {{1}, "1, level correction x1.0"}, {{}, "0, level correction x1.0"},
    };
    for (const auto& [streams, expected] : cases) {
        ScriptedAudio::Device device;
        device.uid = "out";
        device.outputStreams = streams;
        hw.setDefaultOutput(hw.addDevice(device));
        err.clear();
        ASSERT_TRUE(tap->build());
        EXPECT_EQ(lines().at(0), std::string("  output device channels: ") + expected + "\n");
        tap->teardown();
    }
    hw.inject({Op::GetPropertyData, std::nullopt, kAudioDevicePropertyStreamConfiguration, -1});
    err.clear();
    ASSERT_TRUE(tap->build());
    EXPECT_EQ(tap->scale(), 1.0f);
}

TEST_F(TapBuild, RateReconciliationWaitsAtMostFortyTimes) {
    hw.aggregateRateResponse = ScriptedAudio::RateResponse::neverChanges();
    ASSERT_TRUE(tap->build());  // a rate that never agrees is no failure
    EXPECT_EQ(lines().at(1), "  aggregate rate set -> 44100.0 (wanted 48000.0, tries 40)\n");
    EXPECT_EQ(sleeper.waits, std::vector<std::chrono::microseconds>(40, std::chrono::microseconds(25000)));
    EXPECT_EQ(hw.reads(tap->aggID(), kAudioDevicePropertyNominalSampleRate), 41 + 2);  // the loop, then two lines
    tap->teardown();

    sleeper.waits.clear();
    err.clear();
    hw.aggregateRateResponse = ScriptedAudio::RateResponse::afterReads(3);
    ASSERT_TRUE(tap->build());
    EXPECT_EQ(lines().at(1), "  aggregate rate set -> 48000.0 (wanted 48000.0, tries 3)\n");
    EXPECT_EQ(sleeper.waits.size(), 3u);
    tap->teardown();
}

TEST_F(TapBuild, RateWithinOneHertzCountsAsReached) {
    ScriptedAudio::Device device;
    device.uid = "cd";
    device.outputStreams = {2};
    device.nominalRate = 44100.0;
    hw.setDefaultOutput(hw.addDevice(device));
    hw.aggregateRateResponse = ScriptedAudio::RateResponse::immediate(0.5);
    ASSERT_TRUE(tap->build());
    EXPECT_EQ(lines().at(1), "  aggregate rate set -> 44100.5 (wanted 44100.0, tries 0)\n");
    EXPECT_TRUE(sleeper.waits.empty());
    tap->teardown();

    err.clear();
    hw.aggregateRateResponse = ScriptedAudio::RateResponse::immediate(1.5);
    ASSERT_TRUE(tap->build());
    EXPECT_EQ(lines().at(1), "  aggregate rate set -> 44101.5 (wanted 44100.0, tries 40)\n");
}

TEST_F(TapBuild, UnreadableOutputRateSkipsTheRateWrite) {
    hw.inject({Op::GetPropertyData, speakers, kAudioDevicePropertyNominalSampleRate, -1});
    ASSERT_TRUE(tap->build());
    EXPECT_EQ(lines().at(1), "  rates: output=0.0 aggregate=44100.0\n");
    for (const auto& call : hw.calls()) EXPECT_EQ(call.rfind("setPropertyData", 0), std::string::npos) << call;
}

TEST_F(TapBuild, UnreadableTapFormatOnlyDropsItsLine) {
    hw.tapFormat.reset();
    ASSERT_TRUE(tap->build());
    EXPECT_EQ(lines().size(), 3u);
    EXPECT_EQ(lines().back(), "  rates: output=48000.0 aggregate=48000.0\n");
}

struct FailureRow {
    const char* name;
    std::function<void(ScriptedAudio&, AudioObjectID speakers)> fault;
    const char* lastLine;  // nullptr: the build writes no failure line
    int tapsLeft;
};

TEST_F(TapBuild, EveryFailureCleansUpWhatItMade) {
    const std::vector<FailureRow> rows = {
        {"no default output", [](ScriptedAudio& hw, AudioObjectID) { hw.setDefaultOutput(0); }, nullptr, 0},
        {"default output unreadable",
         [](ScriptedAudio& hw, AudioObjectID) {
             hw.inject({Op::GetPropertyData, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice, -1});
         },
         "  x get default output failed: -1\n", 0},
        {"output UID unreadable",
         [](ScriptedAudio& hw, AudioObjectID speakers) {
             hw.inject({Op::GetPropertyData, speakers, kAudioDevicePropertyDeviceUID, -2});
         },
         "  x output UID failed: -2\n", 0},
        {"output UID null",
         [](ScriptedAudio& hw, AudioObjectID speakers) { hw.setNullString(speakers, kAudioDevicePropertyDeviceUID); },
         nullptr, 0},
        {"tap not created", [](ScriptedAudio& hw, AudioObjectID) { hw.inject({Op::CreateProcessTap, {}, {}, -3}); },
         "  x create tap failed: -3\n", 0},
        {"tap UID unreadable",
         [](ScriptedAudio& hw, AudioObjectID) {
             hw.inject({Op::GetPropertyData, std::nullopt, kAudioTapPropertyUID, -4});
         },
         "  x tap UID failed: -4\n", 1},
        {"aggregate not created",
         [](ScriptedAudio& hw, AudioObjectID) { hw.inject({Op::CreateAggregateDevice, {}, {}, -5}); },
         "  x create aggregate failed: -5\n", 0},
        {"callback not registered",
         [](ScriptedAudio& hw, AudioObjectID) { hw.inject({Op::CreateIOProcID, {}, {}, -6}); },
         "  x create IOProc failed: -6\n", 0},
        {"device not started", [](ScriptedAudio& hw, AudioObjectID) { hw.inject({Op::DeviceStart, {}, {}, -7}); },
         "  x start failed: -7\n", 0},
    };
    for (const FailureRow& row : rows) {
        SCOPED_TRACE(row.name);
        hw.clearFaults();
        hw.setDefaultOutput(speakers);
        tap->setCounters({5, 7});
        row.fault(hw, speakers);
        err.clear();

        EXPECT_FALSE(tap->build());
        if (row.lastLine != nullptr) {
            ASSERT_FALSE(lines().empty());
            EXPECT_EQ(lines().back(), row.lastLine);
        } else {
            EXPECT_EQ(lines(), std::vector<std::string>{});
        }
        EXPECT_EQ(hw.liveTaps(), row.tapsLeft);
        EXPECT_EQ(hw.liveAggregates(), 0);
        EXPECT_EQ(hw.liveIOProcs(), 0);
        EXPECT_EQ(tap->counters().zeroFrames, 5);  // a failed build keeps the counters
        EXPECT_EQ(tap->counters().totalFrames, 7);

        hw.clearCalls();
        tap->teardown();
        EXPECT_EQ(hw.calls().size(), static_cast<std::size_t>(row.tapsLeft));  // just the tap, if one stayed
        EXPECT_EQ(hw.liveTaps(), 0);
    }
}

TEST_F(TapBuild, RebuildGetsFreshIdentitiesAndZeroedCountersButKeepsTheDiagnosticFlag) {
    ASSERT_TRUE(tap->build());
    Buffers silence({std::vector<float>(64, 0.0f)});
    hw.deliver(tap->aggID(), silence.list());
    EXPECT_TRUE(tap->logged());
    EXPECT_EQ(tap->counters().zeroFrames, 64);

    tap->teardown();
    EXPECT_EQ(tap->counters().zeroFrames, 64);  // teardown leaves the counters
    ASSERT_TRUE(tap->build());
    EXPECT_EQ(tap->counters().zeroFrames, 0);
    EXPECT_EQ(tap->counters().totalFrames, 0);
    EXPECT_TRUE(tap->logged());

    const auto aggregates = hw.aggregatesCreated();
    const auto taps = hw.tapsCreated();
    ASSERT_EQ(aggregates.size(), 2u);
    EXPECT_NE(aggregates[0].uid, aggregates[1].uid);
    EXPECT_NE(taps[0].uuid, taps[1].uuid);
    EXPECT_EQ(aggregates[1].name, "LUMVAR Tap");
}

}  // namespace lumvar::testing
