#include "audio/property_queries.h"

#include <gtest/gtest.h>

#include "audio/audio_properties.h"
#include "audio/check.h"
#include "support/audio_fixture.h"

namespace lumvar::testing {

using namespace lumvar::audio;
using Op = ScriptedAudio::Op;

using PropertyQueries = AudioFixture;

TEST_F(PropertyQueries, CheckWritesStatusesInSignedDecimal) {
    EXPECT_TRUE(check(log, 0, "start"));
    EXPECT_EQ(err.text(), "");

    EXPECT_FALSE(check(log, -50, "start"));
    EXPECT_FALSE(check(log, kAudioHardwareIllegalOperationError, "create tap"));
    EXPECT_FALSE(check(log, kAudioHardwareBadObjectError, "create tap"));
    EXPECT_EQ(err.chunks(), (std::vector<std::string>{"  x start failed: -50\n", "  x create tap failed: 1852797029\n",
                                                      "  x create tap failed: 560947818\n"}));
}

TEST_F(PropertyQueries, DefaultDevicesAndTheirFailures) {
    const AudioObjectID speakers = addOutput();
    const AudioObjectID mic = addInput("mic", "Mic", {1});
    hw.setDefaultOutput(speakers);
    hw.setDefaultInput(mic);
    EXPECT_EQ(defaultOutputDeviceID(env), speakers);
    EXPECT_EQ(defaultInputDeviceID(env), mic);
    EXPECT_EQ(err.text(), "");

    hw.inject({Op::GetPropertyData, kAudioObjectSystemObject, std::nullopt, -1});
    EXPECT_EQ(defaultOutputDeviceID(env), 0u);
    EXPECT_EQ(err.text(), "  x get default output failed: -1\n");
    err.clear();
    EXPECT_EQ(defaultInputDeviceID(env), 0u);
    EXPECT_EQ(err.text(), "");
}

TEST_F(PropertyQueries, ChannelCountsSumStreamsAndFallBackToZero) {
    ScriptedAudio::Device device;
    device.uid = "interface";
    device.outputStreams = {2, 2};
    device.inputStreams = {1, 1};
    const AudioObjectID id = hw.addDevice(device);
    const AudioObjectID speakers = addOutput();

    EXPECT_EQ(outputChannelCount(env, id), 4);
    EXPECT_EQ(inputChannelCount(env, id), 2);
    EXPECT_EQ(inputChannelCount(env, speakers), 0);  // no input streams at all
    EXPECT_EQ(outputChannelCount(env, kAudioObjectUnknown), 0);

    hw.inject({Op::GetPropertyDataSize, id, kAudioDevicePropertyStreamConfiguration, -1});
    EXPECT_EQ(outputChannelCount(env, id), 0);  // size query fails: no data read follows
    hw.clearFaults();
    hw.inject({Op::GetPropertyData, id, kAudioDevicePropertyStreamConfiguration, -1});
    EXPECT_EQ(outputChannelCount(env, id), 0);
    EXPECT_EQ(err.text(), "");
}

TEST_F(PropertyQueries, RatesAndTapFormats) {
    const AudioObjectID speakers = addOutput(2, 44100.0);
    ScriptedAudio::Device rateless;
    rateless.uid = "no-rate";
    rateless.nominalRate = std::nullopt;
    const AudioObjectID other = hw.addDevice(rateless);

    EXPECT_EQ(nominalRate(env, speakers), 44100.0);
    EXPECT_EQ(nominalRate(env, other), 0.0);
    EXPECT_EQ(nominalRate(env, 999), 0.0);
    EXPECT_FALSE(tapFormat(env, speakers).has_value());  // not a tap

    AudioObjectID tap = 0;
    ASSERT_EQ(hw.createProcessTap(TapDescription{true, {}, "UUID", 0}, tap), 0);
    const auto format = tapFormat(env, tap);
    ASSERT_TRUE(format.has_value());
    EXPECT_EQ(format->mSampleRate, 48000.0);
    EXPECT_EQ(format->mChannelsPerFrame, 2u);
    EXPECT_EQ(err.text(), "");
    hw.destroyProcessTap(tap);
}

TEST_F(PropertyQueries, StringPropertiesKeepFailureAndNullApart) {
    const AudioObjectID mic = addInput("mic-1", "Desk Mic", {1});
    EXPECT_EQ(cfStringProp(env, mic, kAudioObjectPropertyName, "dev name"), "Desk Mic");

    hw.setNullString(mic, kAudioObjectPropertyName);
    EXPECT_EQ(cfStringProp(env, mic, kAudioObjectPropertyName, "dev name"), std::nullopt);
    EXPECT_EQ(err.text(), "");

    hw.inject({Op::GetPropertyData, mic, kAudioDevicePropertyDeviceUID, kAudioHardwareBadObjectError});
    EXPECT_EQ(cfStringProp(env, mic, kAudioDevicePropertyDeviceUID, "output UID"), std::nullopt);
    EXPECT_EQ(err.text(), "  x output UID failed: 560947818\n");
    expectNothingLeaked();  // every string read was released
}

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
    EXPECT_EQ(err.chunks(), (std::vector<std::string>{"  x dev UID failed: 560947818\n", "  x dev UID failed: -10\n"}));
    err.clear();
    EXPECT_EQ(deviceIDForUID(env, "CAF\xc3\x89"), 0u);  // case matters
    EXPECT_EQ(deviceIDForUID(env, "mic"), 0u);          // only the failing device had it
    expectNothingLeaked();
}

}  // namespace lumvar::testing
