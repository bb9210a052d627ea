#include "audio/property_queries.h"

#include <gtest/gtest.h>

#include "audio/audio_properties.h"
#include "audio/check.h"
#include "support/audio_fixture.h"

namespace lumvar::testing {

using namespace lumvar::audio;
using Op = ScriptedAudio::Op;

using PropertyQueries = AudioFixture;

TEST_F(PropertyQueries, CheckAndTheDefaultDevicesReportOnlyWhatTheyMust) {
    EXPECT_TRUE(check(log, 0, "start"));
    EXPECT_FALSE(check(log, -50, "start"));
    EXPECT_FALSE(check(log, kAudioHardwareIllegalOperationError, "create tap"));  // a code, in decimal
    const AudioObjectID speakers = addOutput();
    const AudioObjectID mic = addInput("mic", "Mic", {1});
    hw.setDefaultOutput(speakers);
    hw.setDefaultInput(mic);
    EXPECT_EQ(defaultOutputDeviceID(env), speakers);
    EXPECT_EQ(defaultInputDeviceID(env), mic);
    hw.inject({Op::GetPropertyData, kAudioObjectSystemObject, std::nullopt, -1});
    EXPECT_EQ(defaultOutputDeviceID(env), 0u);
    EXPECT_EQ(defaultInputDeviceID(env), 0u);  // silently
    EXPECT_EQ(err.text(), "  x start failed: -50\n  x create tap failed: 1852797029\n  x get default output failed: -1\n");
}

TEST_F(PropertyQueries, ChannelsRatesAndFormatsFallBackToZeroOrNothing) {
    const AudioObjectID id = hw.addDevice({.uid = "interface", .name = {}, .inputStreams = {1, 1}, .outputStreams = {2, 2}});
    const AudioObjectID rateless =
        hw.addDevice({.uid = "no-rate", .name = {}, .inputStreams = {}, .outputStreams = {}, .nominalRate = std::nullopt});
    EXPECT_EQ(outputChannelCount(env, id), 4);
    EXPECT_EQ(inputChannelCount(env, id), 2);
    EXPECT_EQ(inputChannelCount(env, rateless), 0);  // no input streams at all
    EXPECT_EQ(outputChannelCount(env, kAudioObjectUnknown), 0);
    EXPECT_EQ(nominalRate(env, id), 48000.0);
    EXPECT_EQ(nominalRate(env, rateless), 0.0);
    EXPECT_FALSE(tapFormat(env, id).has_value());  // not a tap
    AudioObjectID tap = 0;
    ASSERT_EQ(hw.createProcessTap(TapDescription{true, {}, "UUID", 0}, tap), 0);
    EXPECT_EQ(tapFormat(env, tap)->mChannelsPerFrame, 2u);
    hw.destroyProcessTap(tap);

    hw.inject({Op::GetPropertyDataSize, id, kAudioDevicePropertyStreamConfiguration, -1});
    EXPECT_EQ(outputChannelCount(env, id), 0);
    hw.clearFaults();
    hw.inject({Op::GetPropertyData, id, kAudioDevicePropertyStreamConfiguration, -1});
    EXPECT_EQ(outputChannelCount(env, id), 0);
    EXPECT_EQ(err.text(), "");
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
