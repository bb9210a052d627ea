#include "audio/device_list.h"

#include <gtest/gtest.h>

#include "audio/audio_properties.h"
#include "capture/tap.h"
#include "support/audio_fixture.h"

namespace lumvar::testing {

using namespace lumvar::audio;
using Op = ScriptedAudio::Op;

using DeviceList = AudioFixture;

TEST_F(DeviceList, ListsInputDevicesInPlatformOrderWithTheirRules) {
    addOutput();
    emitDevices(env);
    EXPECT_EQ(err.text(), "@DEVICES []\n");  // an output-only device is no input
    err.clear();
    addInput("zed", "Zed Mic", {1});  // listed first although it sorts last
    addOutput();
    const AudioObjectID planar = addInput("planar", "Planar", {1, 1});
    const AudioObjectID nameless = addInput("nameless", "ignored", {2});
    const AudioObjectID noUID = addInput("no-uid", "No UID", {1});
    const AudioObjectID lookalike = addInput("com.vormalde.lumvar.aggregate-like", "Looks Like Ours", {2});
    addInput("someone-else", "LUMVAR Tap", {2});
    hw.inject({Op::GetPropertyData, nameless, kAudioObjectPropertyName, -1});
    hw.inject({Op::GetPropertyData, noUID, kAudioDevicePropertyDeviceUID, -2});
    hw.inject({Op::GetPropertyData, lookalike, kAudioObjectPropertyName, -3});  // excluded, still reported
    hw.setDefaultInput(planar);
    // A running system tap adds its own aggregate device, which is never listed.
    hw.setDefaultOutput(addOutput(2, 48000.0, "speakers"));
    auto tap = capture::Tap::create(env, out, sleeper, uuids);
    ASSERT_TRUE(tap->build());
    err.clear();
    const auto devices = listInputDevices(env);
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].uid, "zed");
    EXPECT_EQ(devices[0].name, "Zed Mic");
    EXPECT_FALSE(devices[0].isDefault);
    EXPECT_EQ(devices[1].uid, "planar");
    EXPECT_EQ(devices[1].ch, 2);
    EXPECT_TRUE(devices[1].isDefault);
    EXPECT_EQ(devices[2].uid, "nameless");
    EXPECT_EQ(devices[2].name, "nameless");
    EXPECT_EQ(err.chunks(), (std::vector<std::string>{"  x dev name failed: -1\n", "  x dev UID failed: -2\n",
                                                      "  x dev name failed: -3\n"}));
    err.clear();
    emitDevices(env);
    EXPECT_EQ(err.chunks().back(),
              "@DEVICES [{\"uid\":\"zed\",\"name\":\"Zed Mic\",\"ch\":1,\"default\":false},"
              "{\"uid\":\"planar\",\"name\":\"Planar\",\"ch\":2,\"default\":true},"
              "{\"uid\":\"nameless\",\"name\":\"nameless\",\"ch\":2,\"default\":false}]\n");
    tap->teardown();
    hw.inject({Op::GetPropertyData, kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice, -1});
    for (const InputDevice& device : listInputDevices(env)) EXPECT_FALSE(device.isDefault);
}

TEST_F(DeviceList, TextIsEscapedByteForByteAndIllFormedTextEmptiesTheList) {
    addInput("usb:1a2b/in\"x\\y", "Mic \x01\n\t\x1f (\xc3\x9c\xf0\x9f\x8e\xa4)\x7f", {2});
    emitDevices(env);
    EXPECT_EQ(err.text(),
              "@DEVICES [{\"uid\":\"usb:1a2b\\/in\\\"x\\\\y\","
              "\"name\":\"Mic \\u0001\\u000a\\u0009\\u001f "
              "(\xc3\x9c\xf0\x9f\x8e\xa4)\\u007f\",\"ch\":2,\"default\":false}]\n");
    addInput("bad", "Bad \xff name", {1});
    err.clear();
    emitDevices(env);
    EXPECT_EQ(err.text(), "@DEVICES []\n");
}

}  // namespace lumvar::testing
