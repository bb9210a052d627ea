#include "audio/property_queries.h"

#include <gtest/gtest.h>

#include "audio/audio_properties.h"
#include "support/audio_fixture.h"

namespace lumvar::testing {

using namespace lumvar::audio;
using Op = ScriptedAudio::Op;

using PropertyQueries = AudioFixture;

TEST_F(PropertyQueries, TheDeviceListFallsBackToEmptyAndAUidLookupTakesTheFirstMatchReportingUnreadableUids) {
    const AudioObjectID broken = addInput("mic", "Broken", {1});
    const AudioObjectID nullUID = addInput("null", "Null UID", {1});
    const AudioObjectID first = addInput("caf\xc3\xa9", "First", {2});
    const AudioObjectID second = addInput("caf\xc3\xa9", "Second", {2});
    // Less than one id, none, more than the list holds (one left between the reads: its entry stays 0).
    for (const auto& [size, ids] : std::vector<std::pair<std::uint32_t, std::vector<AudioObjectID>>>{
             {3, {}}, {0, {}}, {20, {broken, nullUID, first, second, 0}}}) {
        hw.deviceListSizeAnswer = size;
        EXPECT_EQ(allDeviceIDs(env), ids) << size;
    }
    hw.deviceListSizeAnswer.reset();
    for (const Op op : {Op::GetPropertyDataSize, Op::GetPropertyData}) {
        hw.inject({op, kAudioObjectSystemObject, kAudioHardwarePropertyDevices, -1});
        EXPECT_TRUE(allDeviceIDs(env).empty());
        hw.clearFaults();
    }
    hw.setNullString(nullUID, kAudioDevicePropertyDeviceUID);
    hw.setDeviceList({77, broken, nullUID, first, second});  // 77 is stale
    hw.inject({Op::GetPropertyData, broken, kAudioDevicePropertyDeviceUID, -10});
    EXPECT_EQ(deviceIDForUID(env, "cafe\xcc\x81"), first);  // canonically equivalent spelling
    EXPECT_EQ(err.chunks(),
              (std::vector<std::string>{"  x dev UID failed: 560947818\n", "  x dev UID failed: -10\n"}));
    EXPECT_EQ(deviceIDForUID(env, "mic"), 0u);  // only the failing device had it
    expectNothingLeaked();
}

}  // namespace lumvar::testing
