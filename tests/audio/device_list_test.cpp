#include "audio/device_list.h"

#include <gtest/gtest.h>

#include "audio/audio_properties.h"
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

}  // namespace lumvar::testing
