#include "audio/device_list.h"

#include <gtest/gtest.h>

#include "audio/audio_properties.h"
#include "audio/property_queries.h"
#include "support/audio_fixture.h"

namespace lumvar::testing {

using namespace lumvar::audio;
using Op = ScriptedAudio::Op;
using DeviceList = AudioFixture;

// In the platform's order, each with its input streams' channels summed; this system's own aggregates
// are left out by UID prefix or by name, after both reads, so that a failed read is still reported.
TEST_F(DeviceList, ListsInputDevicesInPlatformOrderWithTheirRulesAsOneJsonLine) {
    addInput("zed:in/\"x\\y", "Zed\tMic", {1});  // listed first although it sorts last
    addOutput();
    const AudioObjectID planar = addInput("planar", "Planar", {1, 1});
    const AudioObjectID nameless = addInput("nameless", "ignored", {2});
    const AudioObjectID noUID = addInput("no-uid", "No UID", {1});
    const AudioObjectID lookalike = addInput("com.vormalde.lumvar.aggregate-like", "Looks Like Ours", {2});
    addInput("someone-else", "LUMVAR Tap", {2});
    hw.inject({Op::GetPropertyData, nameless, kAudioObjectPropertyName, -1});
    hw.inject({Op::GetPropertyData, noUID, kAudioDevicePropertyDeviceUID, -2});
    hw.inject({Op::GetPropertyData, lookalike, kAudioObjectPropertyName, -3});
    hw.setDefaultInput(planar);
    EXPECT_EQ(emitDevices(env).size(), 3u);
    EXPECT_EQ(err.chunks(),
              (std::vector<std::string>{
                  "  x dev name failed: -1\n", "  x dev UID failed: -2\n", "  x dev name failed: -3\n",
                  "@DEVICES "
                  "[{\"uid\":\"zed:in\\/\\\"x\\\\y\",\"name\":\"Zed\\u0009Mic\",\"ch\":1,\"default\":false},"
                  "{\"uid\":\"planar\",\"name\":\"Planar\",\"ch\":2,\"default\":true},"
                  "{\"uid\":\"nameless\",\"name\":\"nameless\",\"ch\":2,\"default\":false}]\n"}));
    hw.inject({Op::GetPropertyData, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice, -1});
    EXPECT_FALSE(listInputDevices(env).at(1).isDefault);  // no default read, none the default
    addInput("bad", "Bad \xff name", {1});
    err.clear();
    EXPECT_TRUE(emitDevices(env).empty());  // text that is no UTF-8 empties the list
    EXPECT_EQ(err.chunks().back(), "@DEVICES []\n");
    expectNothingLeaked();
}

TEST_F(DeviceList, TheDeviceListFallsBackToEmptyAndAUidLookupTakesTheFirstMatchReportingUnreadableUids) {
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
