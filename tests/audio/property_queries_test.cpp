#include "audio/property_queries.h"

#include <gtest/gtest.h>

#include "audio/audio_properties.h"
#include "support/audio_fixture.h"

namespace lumvar::testing {

using namespace lumvar::audio;
using Op = ScriptedAudio::Op;

using PropertyQueries = AudioFixture;

TEST_F(PropertyQueries, DeviceListFallsBackToEmpty) {
    const AudioObjectID a = addInput("a", "A", {1});
    const AudioObjectID b = addInput("b", "B", {1});
    EXPECT_EQ(allDeviceIDs(env), (std::vector<AudioObjectID>{a, b}));
    hw.deviceListSizeAnswer = 3;  // less than one id
    EXPECT_TRUE(allDeviceIDs(env).empty());
    hw.deviceListSizeAnswer = 0;
    EXPECT_TRUE(allDeviceIDs(env).empty());
    hw.deviceListSizeAnswer = 12;  // a device left between the two reads: its entry stays 0
    EXPECT_EQ(allDeviceIDs(env), (std::vector<AudioObjectID>{a, b, 0}));
    hw.deviceListSizeAnswer.reset();
    hw.inject({Op::GetPropertyDataSize, kAudioObjectSystemObject, kAudioHardwarePropertyDevices, -1});
    EXPECT_TRUE(allDeviceIDs(env).empty());
    hw.clearFaults();
    hw.inject({Op::GetPropertyData, kAudioObjectSystemObject, kAudioHardwarePropertyDevices, -1});
    EXPECT_TRUE(allDeviceIDs(env).empty());
    EXPECT_EQ(err.text(), "");
}

TEST_F(PropertyQueries, DeviceForUIDTakesTheFirstMatchAndReportsUnreadableUIDs) {
    EXPECT_EQ(deviceIDForUID(env, "mic"), 0u);  // no devices: nothing written
    EXPECT_EQ(err.text(), "");
    const AudioObjectID broken = addInput("mic", "Broken", {1});
    ScriptedAudio::Device nameless;
    nameless.uid = std::nullopt;
    const AudioObjectID nullUID = hw.addDevice(nameless);
    const AudioObjectID first = addInput("caf\xc3\xa9", "First", {2});
    const AudioObjectID second = addInput("caf\xc3\xa9", "Second", {2});
    hw.setDeviceList({77, broken, nullUID, first, second});  // 77 is stale
    hw.inject({Op::GetPropertyData, broken, kAudioDevicePropertyDeviceUID, -10});
    EXPECT_EQ(deviceIDForUID(env, "cafe\xcc\x81"), first);  // canonically equivalent spelling
    EXPECT_EQ(err.chunks(),
              (std::vector<std::string>{"  x dev UID failed: 560947818\n", "  x dev UID failed: -10\n"}));
    err.clear();
    EXPECT_EQ(deviceIDForUID(env, "CAF\xc3\x89"), 0u);  // case matters
    EXPECT_EQ(deviceIDForUID(env, "mic"), 0u);          // only the failing device had it
    expectNothingLeaked();
}

}  // namespace lumvar::testing
