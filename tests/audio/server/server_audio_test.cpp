// The platform layer of the Linux backends over a sound server in memory: device ids, deaths, the tap
// and its aggregate, and the round trips a read makes.
#include "audio/server/server_audio.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "audio/audio_properties.h"
#include "audio/device_list.h"
#include "audio/property_queries.h"
#include "audio/server/fake_server.h"
#include "audio/server/server_statuses.h"
#include "common/memory_sink.h"

namespace lumvar::testing {
namespace {

using namespace lumvar::audio;

DeviceInfo sink(std::uint32_t index, std::string name, std::uint32_t rate = 48000) {
    return {true, index, name, name, 2, rate, name + ".monitor", ""};
}
DeviceInfo source(std::uint32_t index, std::string name, std::uint32_t channels = 1, std::string of = "") {
    return {false, index, std::move(name), "Source", channels, 44100, "", std::move(of)};
}

struct ServerAudioTest : ::testing::Test {
    FakeServer* server = nullptr;
    std::unique_ptr<PlatformAudio> hw = server::makeServerAudio([this](ServerConnection::Observer& observer) {
        auto made = std::make_unique<FakeServer>(observer);
        server = made.get();
        made->devices = {sink(1, "speakers"), sink(2, "hdmi", 44100),
                         source(1, "speakers.monitor", 2, "speakers"), source(2, "hdmi.monitor", 2, "hdmi"),
                         source(3, "mic")};
        made->defaults = {"speakers", "mic"};
        made->connect();
        return made;
    });
    MemorySink err;
    StatusLog log{err};
    AudioEnv env{*hw, log, platformText()};

    std::vector<std::string> uids() {
        std::vector<std::string> all;
        for (const AudioObjectID id : allDeviceIDs(env))
            all.push_back(cfStringProp(env, id, kAudioDevicePropertyDeviceUID, "uid").value_or("?"));
        return all;
    }
    std::uint32_t alive(AudioObjectID id) {
        std::uint32_t value = 0, size = sizeof value;
        hw->getPropertyData(id, globalAddress(kAudioDevicePropertyDeviceIsAlive), size, &value);
        return value;
    }
    // Counts the calls of a listener on `selector` of `object`.
    int* listen(AudioObjectID object, FourCharCode selector) {
        counters_.push_back(std::make_unique<int>(0));
        int* count = counters_.back().get();
        PropertyListenerID id = nullptr;
        EXPECT_EQ(hw->addPropertyListener(
                      object, globalAddress(selector), [count](std::uint32_t, const auto*) { ++*count; }, id),
                  0);
        return count;
    }
    AudioDeviceIOProcID startIO(AudioObjectID device) {
        AudioDeviceIOProcID proc = nullptr;
        EXPECT_EQ(hw->createIOProcIDWithBlock(proc, device, [](auto...) {}), 0);
        EXPECT_EQ(hw->deviceStart(device, proc), 0);
        return proc;
    }

  private:
    std::vector<std::unique_ptr<int>> counters_;
};

TEST_F(ServerAudioTest, IdsOutliveAReconnectionAndAListReadSeesWhatWasAnnouncedInOneRoundTrip) {
    EXPECT_EQ(uids(),
              (std::vector<std::string>{"speakers", "hdmi", "speakers.monitor", "hdmi.monitor", "mic"}));
    EXPECT_EQ(server->syncs, 1);  // the size read's round trip serves the data read
    std::vector<std::string> inputs;
    for (const InputDevice& device : listInputDevices(env))
        inputs.push_back(device.uid + (device.isDefault ? "*" : ""));
    EXPECT_EQ(inputs, (std::vector<std::string>{"speakers.monitor", "hdmi.monitor", "mic*"}));  // no sink
    const AudioObjectID mic = deviceIDForUID(env, "mic");
    server->announce([](ServerModel& model) { return model.put(source(9, "usb")); });
    EXPECT_NE(deviceIDForUID(env, "usb"), kAudioObjectUnknown);  // a read right after names it

    server->drop();
    EXPECT_EQ(uids(), std::vector<std::string>{});
    EXPECT_EQ(alive(mic), 0u);
    std::ranges::reverse(server->devices);  // back, its devices numbered afresh
    for (DeviceInfo& device : server->devices) device.index += 10;
    server->connect();
    EXPECT_EQ(deviceIDForUID(env, "mic"), mic);
    EXPECT_EQ(alive(mic), 1u);

    server->announce([](ServerModel& model) { return model.remove(false, 13); });  // unplugged
    EXPECT_EQ(deviceIDForUID(env, "mic"), kAudioObjectUnknown);
    EXPECT_EQ(alive(mic), 0u);
    std::uint32_t size = 0;
    EXPECT_EQ(hw->getPropertyDataSize(
                  mic, {kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput, 0}, size),
              server::kNoSuchDevice);
}

TEST_F(ServerAudioTest, ADeviceInUseDiesWhenItsStreamEndsWhenItGoesAndWhenTheServerDoes) {
    const AudioObjectID mic = deviceIDForUID(env, "mic");
    const int* deaths = listen(mic, kAudioDevicePropertyDeviceIsAlive);
    const AudioDeviceIOProcID proc = startIO(mic);
    ASSERT_EQ(server->started.size(), 1u);
    EXPECT_EQ(server->started[0].source, "mic");
    EXPECT_EQ(std::pair(server->started[0].channels, server->started[0].rate), std::pair(1u, 44100u));
    server->endStreams();
    EXPECT_EQ(*deaths, 1);
    EXPECT_EQ(alive(mic), 0u);
    EXPECT_EQ(hw->deviceStop(mic, proc), 0);
    EXPECT_EQ(hw->deviceStart(mic, proc), 0);  // started again: alive again
    EXPECT_EQ(alive(mic), 1u);
    server->announce([](ServerModel& model) { return model.remove(false, 3); });
    uids();  // the round trip brings the removal
    EXPECT_EQ(*deaths, 2);
    EXPECT_EQ(alive(mic), 0u);
    const AudioObjectID speakers = deviceIDForUID(env, "speakers");
    const int* speakerDeaths = listen(speakers, kAudioDevicePropertyDeviceIsAlive);
    server->drop();
    EXPECT_EQ(*speakerDeaths, 1);
    EXPECT_EQ(hw->deviceStop(mic, proc), 0);
    EXPECT_EQ(hw->destroyIOProcID(mic, proc), 0);
    EXPECT_EQ(server->liveStreams(), 0u);
}

TEST_F(ServerAudioTest, TheTapRecordsTheDefaultSinksMonitorInStereoAtTheAggregatesRate) {
    const int* moved = listen(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice);
    AudioObjectID tap = 0;
    ASSERT_EQ(
        hw->createProcessTap({.stereoGlobal = true, .excludedProcessObjects = {}, .uuid = "tap-1"}, tap), 0);
    const auto format = tapFormat(env, tap);
    ASSERT_TRUE(format);
    EXPECT_EQ(std::pair(format->mSampleRate, format->mChannelsPerFrame), std::pair(48000.0, 2u));
    AudioObjectID aggregate = 0;
    ASSERT_EQ(hw->createAggregateDevice(
                  {.name = "LUMVAR Tap", .uid = "agg", .master = "speakers", .taps = {{"tap-1"}}}, aggregate),
              0);
    const auto write = [&](AudioObjectID object, double rate, std::uint32_t size = sizeof(double)) {
        return hw->setPropertyData(object, globalAddress(kAudioDevicePropertyNominalSampleRate), size, &rate);
    };
    EXPECT_EQ(write(deviceIDForUID(env, "speakers"), 44100.0), server::kIllegal);  // a device keeps its rate
    EXPECT_EQ(write(aggregate, 0.0), server::kIllegal);
    EXPECT_EQ(write(aggregate, 400000.0), server::kIllegal);
    EXPECT_EQ(write(aggregate, 44100.0, 4), server::kBadSize);
    EXPECT_EQ(nominalRate(env, aggregate), 48000.0);
    EXPECT_EQ(write(aggregate, 44100.0), 0);
    const AudioDeviceIOProcID proc = startIO(aggregate);
    ASSERT_EQ(server->started.size(), 1u);
    EXPECT_EQ(server->started[0].source, "speakers.monitor");
    EXPECT_EQ(std::pair(server->started[0].channels, server->started[0].rate), std::pair(2u, 44100u));

    server->announce([](ServerModel& model) { return model.setDefaults({"hdmi", "mic"}); });
    EXPECT_EQ(defaultOutputDeviceID(env), deviceIDForUID(env, "hdmi"));
    EXPECT_EQ(*moved, 1);
    EXPECT_EQ(alive(aggregate), 1u);  // the old default plays on: its tap too
    server->announce([](ServerModel& model) { return model.remove(true, 1); });
    uids();
    EXPECT_EQ(alive(aggregate), 0u);  // its sink went
    hw->deviceStop(aggregate, proc);
    hw->destroyIOProcID(aggregate, proc);
    EXPECT_EQ(hw->destroyAggregateDevice(aggregate), 0);
    EXPECT_EQ(hw->destroyProcessTap(tap), 0);
    AudioObjectID second = 0;
    ASSERT_EQ(
        hw->createProcessTap({.stereoGlobal = true, .excludedProcessObjects = {}, .uuid = "tap-2"}, second),
        0);
    EXPECT_EQ(tapFormat(env, second)->mSampleRate, 44100.0);  // the default's now
    EXPECT_EQ(hw->destroyProcessTap(second), 0);
}

}  // namespace
}  // namespace lumvar::testing
