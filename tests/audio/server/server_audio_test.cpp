// The Linux backends' platform layer over a sound server in memory; the clock of a libpulse stream.
#include "audio/server/server_audio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "audio/audio_properties.h"
#include "audio/property_queries.h"
#include "audio/pulse/record_clock.h"
#include "audio/server/server_statuses.h"
#include "common/memory_sink.h"

namespace lumvar::testing {
namespace {

using namespace lumvar::audio;
using namespace lumvar::audio::server;
using namespace lumvar::audio::pulse;

// Devices come and go, the connection drops and returns, streams end; the fake records the round trips
// and each stream started ("<source> <channels> <rate>"). One thread: its lock guards nothing.
struct FakeServer final : ServerConnection {
    static constexpr OSStatus kGone = static_cast<OSStatus>(fourCC("gone"));
    struct Stream final : CaptureStream {
        FakeServer& server;
        std::function<void()> died;
        Stream(FakeServer& s, std::function<void()> d) : server(s), died(std::move(d)) {}
        ~Stream() override { std::erase(server.live, this); }
        OSStatus start(const DeviceInfo& source, std::uint32_t channels, std::uint32_t rate) override {
            if (!server.connected) return kGone;
            server.started.push_back(source.name + " " + std::to_string(channels) + " " +
                                     std::to_string(rate));
            server.live.push_back(this);
            return 0;
        }
    };
    Observer& observer;
    ServerModel current{platformText()};
    std::vector<DeviceInfo> devices;  // what the server holds: connect() loads it, as a new connection does
    Defaults defaults;
    std::vector<std::function<ModelChanges(ServerModel&)>> announced;  // reach the model at the next sync
    std::vector<Stream*> live;
    std::vector<std::string> started;
    bool connected = false, recordsSinks = false;  // PipeWire records any sink's output, monitor or not
    int syncs = 0;
    explicit FakeServer(Observer& o) : observer(o) {}
    void connect() {
        current.clear();
        for (const DeviceInfo& device : devices) current.put(device);
        current.setDefaults(defaults);
        observer.connectionChanged(connected = true);
    }
    void drop() { observer.connectionChanged(connected = false), endStreams(); }  // its streams end with it
    void endStreams() {
        for (Stream* stream : live)
            if (stream->died) std::exchange(stream->died, nullptr)();
    }
    OSStatus usable() const override { return connected ? 0 : kGone; }
    bool capturesSinks() const override { return recordsSinks; }
    OSStatus sync() override {
        ++syncs;
        if (!connected) return kGone;
        for (auto& change : std::exchange(announced, {})) observer.modelChanged(change(current));
        return 0;
    }
    const ServerModel& model() const override { return current; }
    std::unique_ptr<CaptureStream> makeStream(const AudioDeviceIOBlock&,
                                              std::function<void()> died) override {
        return std::make_unique<Stream>(*this, std::move(died));
    }
    void lock() override {}
    void unlock() override {}
};

DeviceInfo sink(std::uint32_t index, std::string name, std::uint32_t rate = 48000) {
    return {true, index, name, name, 2, rate, name + ".monitor", ""};
}
DeviceInfo source(std::uint32_t index, std::string name, std::uint32_t channels = 1, std::string of = "") {
    return {false, index, std::move(name), "Source", channels, 44100, "", std::move(of)};
}

// What each event changed: also the PipeWire graph model's test, whose events go through this model.
TEST(ServerModel, RepairsOrLeavesOutTextThatIsNotUtf8AndShowsOneDevicePerName) {
    ServerModel model(platformText());
    EXPECT_TRUE(model.put({true, 7, "hdmi", "HDMI \xff", 2, 48000, "", ""}).deviceList);
    EXPECT_EQ(model.find(true, "hdmi")->description, "HDMI \xef\xbf\xbd");
    EXPECT_EQ(model.find(false, "hdmi"), nullptr);  // sinks and sources are apart
    EXPECT_FALSE(model.put(sink(8, "bad\xfe")).deviceList || model.find(true, "bad\xfe"));  // left out
    model.put(sink(9, "hdmi"));  // a second node of one name: its UID is the first one's
    EXPECT_EQ(model.devices(), std::vector<const DeviceInfo*>{model.find(true, "hdmi")});
    EXPECT_TRUE(model.remove(true, 7).removed);
    EXPECT_FALSE(model.remove(true, 7).deviceList);  // told twice: nothing more went
}

struct ServerAudioTest : ::testing::Test {
    FakeServer* server = nullptr;
    std::unique_ptr<PlatformAudio> hw = makeServerAudio([this](ServerConnection::Observer& observer) {
        auto made = std::make_unique<FakeServer>(observer);
        server = made.get();
        made->devices = {sink(1, "speakers"), sink(2, "hdmi", 44100),
                         source(1, "speakers.monitor", 6, "speakers"), source(2, "hdmi.monitor", 2, "hdmi"),
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
    std::int64_t alive(AudioObjectID id) {  // its IsAlive, or the status of the read when that fails
        std::uint32_t value = 0, size = sizeof value;
        const OSStatus status =
            hw->getPropertyData(id, globalAddress(kAudioDevicePropertyDeviceIsAlive), size, &value);
        return status != 0 ? status : value;
    }
};

TEST_F(ServerAudioTest, ADeviceKeepsItsIdAcrossReconnectionsAndDiesWhenItsStreamEndsItGoesOrTheServerDoes) {
    const std::vector<std::string> all = {"speakers", "hdmi", "speakers.monitor", "hdmi.monitor", "mic"};
    EXPECT_EQ(uids(), all);
    EXPECT_EQ(server->syncs, 1);  // the size read's round trip serves the data read
    const AudioObjectID mic = deviceIDForUID(env, "mic");
    int deaths = 0;
    PropertyListenerID listener = nullptr;
    const auto died = [&deaths](std::uint32_t, const auto*) { ++deaths; };
    EXPECT_EQ(hw->addPropertyListener(mic, globalAddress(kAudioDevicePropertyDeviceIsAlive), died, listener),
              0);
    AudioDeviceIOProcID proc = nullptr;
    EXPECT_EQ(hw->createIOProcIDWithBlock(proc, mic, [](auto...) {}), 0);
    EXPECT_EQ(hw->deviceStart(mic, proc), 0);
    EXPECT_EQ(server->started, std::vector<std::string>{"mic 1 44100"});  // in its own format
    server->endStreams();
    EXPECT_EQ(std::pair(deaths, alive(mic)), std::pair(1, std::int64_t{0}));
    EXPECT_EQ(hw->deviceStop(mic, proc), 0);
    EXPECT_EQ(hw->deviceStart(mic, proc), 0);  // started again: alive again
    EXPECT_EQ(alive(mic), 1);

    server->drop();
    // The server's going, and its end of the stream.
    EXPECT_EQ(std::pair(deaths, alive(mic)), std::pair(3, std::int64_t{FakeServer::kGone}));
    EXPECT_EQ(uids(), std::vector<std::string>{});
    std::ranges::reverse(server->devices);  // back, its devices numbered afresh and loaded in another order
    for (DeviceInfo& device : server->devices) device.index += 10;
    server->connect();
    EXPECT_EQ(uids(), all);  // sinks, then sources, each by the server's index
    EXPECT_EQ(deviceIDForUID(env, "mic"), mic);
    server->announced.push_back([](ServerModel& model) { return model.remove(false, 13); });
    EXPECT_EQ(deviceIDForUID(env, "mic"), kAudioObjectUnknown);  // the round trip brings the removal
    EXPECT_EQ(std::pair(deaths, alive(mic)), std::pair(4, std::int64_t{kNoSuchDevice}));
    std::uint32_t size = 0;
    EXPECT_EQ(hw->getPropertyDataSize(mic, globalAddress(kAudioDevicePropertyStreamConfiguration), size),
              kNoSuchDevice);
    EXPECT_EQ(hw->destroyIOProcID(mic, proc), 0);
    EXPECT_EQ(server->live.size(), 0u);
    // Gone while connected, it is forgotten: plugged in again, it is a device with a new id.
    server->announced.push_back([](ServerModel& model) { return model.put(source(14, "mic")); });
    const AudioObjectID again = deviceIDForUID(env, "mic");
    EXPECT_TRUE(again != kAudioObjectUnknown && again != mic) << again;
}

// The tap records the sink the build read, though the default moved between its read and the tap.
TEST_F(ServerAudioTest, TheTapRecordsTheMonitorOfTheSinkTheBuildReadInStereoAtTheAggregatesRate) {
    const AudioObjectID speakers = deviceIDForUID(env, "speakers"), hdmi = deviceIDForUID(env, "hdmi");
    AudioObjectID tap = 0, aggregate = 0, refused = 0;  // `refused`: no duplex sink carries it at first
    const auto aggregateOn = [&](const std::string& master, const std::string& tapUid) {
        const AggregateDescription description{
            .name = "LUMVAR Tap", .uid = master, .master = master, .subDevices = {}, .taps = {{tapUid}}};
        return hw->createAggregateDevice(description, aggregate);
    };
    EXPECT_EQ(defaultOutputDeviceID(env), speakers);  // what the build reads, before the default moves
    server->announced.push_back([](ServerModel& model) { return model.setDefaults({"hdmi", "mic"}); });
    ASSERT_EQ(hw->createProcessTap({.excludedProcessObjects = {}, .uuid = "t1"}, tap), 0);
    EXPECT_EQ(tapFormat(env, tap)->mChannelsPerFrame, 2u);
    ASSERT_EQ(aggregateOn("speakers", "t1"), 0);
    EXPECT_EQ(tapFormat(env, tap)->mSampleRate, 48000.0);
    const auto write = [&](AudioObjectID object, double rate, std::uint32_t size = sizeof(double)) {
        return hw->setPropertyData(object, globalAddress(kAudioDevicePropertyNominalSampleRate), size, &rate);
    };
    // A device keeps its rate; an aggregate takes none out of range, nor one of the wrong size.
    EXPECT_EQ((std::vector{write(speakers, 44100.0), write(aggregate, 0.0), write(aggregate, 400000.0),
                           write(aggregate, 44100.0, 4)}),
              (std::vector{kIllegal, kIllegal, kIllegal, kBadSize}));
    EXPECT_EQ(nominalRate(env, aggregate), 48000.0);
    EXPECT_EQ(write(aggregate, 96000.0), 0);
    AudioDeviceIOProcID proc = nullptr;
    EXPECT_EQ(hw->createIOProcIDWithBlock(proc, aggregate, [](auto...) {}), 0);
    EXPECT_EQ(hw->deviceStart(aggregate, proc), 0);
    EXPECT_EQ(server->started, std::vector<std::string>{"speakers.monitor 2 96000"});
    EXPECT_EQ(defaultOutputDeviceID(env), hdmi);  // its own round trip brings the change
    EXPECT_EQ(alive(aggregate), 1);               // the old default plays on: its tap too
    server->announced.push_back([](ServerModel& model) { return model.remove(true, 1); });
    uids();
    EXPECT_EQ(alive(aggregate), 0);  // its sink went
    EXPECT_EQ(hw->destroyAggregateDevice(aggregate), 0);
    EXPECT_EQ(server->live.size(), 0u);  // a device that is gone delivers nothing more
    EXPECT_EQ(hw->destroyIOProcID(aggregate, proc), 0);
    // A sink whose "monitor" is a source of its own (a duplex node through the pulse server) is recorded only
    // where the backend records a sink's output itself.
    server->announced.push_back([](ServerModel& model) {
        return model.put({true, 5, "duplex", "Duplex", 2, 48000, "duplex", ""}) |=
               model.put(source(5, "duplex", 2));
    });
    uids();
    ASSERT_EQ(hw->createProcessTap({.excludedProcessObjects = {}, .uuid = "t2"}, refused), 0);
    EXPECT_EQ(aggregateOn("duplex", "t2"), kNoMonitor);
    server->recordsSinks = true;
    ASSERT_EQ(aggregateOn("duplex", "t2"), 0);
    EXPECT_EQ(hw->createIOProcIDWithBlock(proc, aggregate, [](auto...) {}), 0);
    EXPECT_EQ(hw->deviceStart(aggregate, proc), 0);
    EXPECT_EQ(server->started.back(), "duplex.monitor 2 48000");
    EXPECT_EQ(hw->destroyIOProcID(aggregate, proc), 0);
    EXPECT_EQ(hw->destroyAggregateDevice(aggregate), 0);
    EXPECT_EQ(hw->destroyProcessTap(tap), 0);
    EXPECT_EQ(hw->destroyProcessTap(refused), 0);
}

TEST(RecordClock, PlacesFramesFromTheTruestRecentReportAndShortensLongHoles) {
    // 48 kHz stereo float: 8 bytes a frame. A report that arrived at 10 s after 1 ms on its way.
    TimingReport report{
        .arrivedNanos = 10'000'000'000, .transportUsec = 1000, .writeIndexBytes = 38400, .sourceUsec = 2000};
    const Reference fromSource = referenceOf(report, 8);
    EXPECT_EQ(fromSource.frame, 4800);
    EXPECT_EQ(fromSource.capturedNanos, 9'997'000'000);  // its newest frame entered 2 ms before it was taken
    report.sinkUsec = 5000;
    EXPECT_EQ(referenceOf(report, 8).capturedNanos, 10'002'000'000);  // from a monitor: played 5 ms later
    EXPECT_EQ(capturedNanos(4800 + 48000, fromSource, 48000, 0, 480), 10'997'000'000);
    EXPECT_EQ(capturedNanos(4800 - 480, fromSource, 48000, 0, 480), 9'987'000'000);
    EXPECT_EQ(capturedNanos(0, std::nullopt, 48000, 5'000'000'000, 480), 4'990'000'000);  // no report yet
    EXPECT_EQ(holeFramesToDeliver(100, 0, 48000), 100u);
    EXPECT_EQ(holeFramesToDeliver(10'000'000, 100'000'000, 48000), 7200u);  // 100 ms since, and 50 ms more
    // Reports of no latency err by up to a cycle either way: the median.
    ReferenceFilter filter(48000);
    for (const std::int64_t late : {3, -2, 0, 1, 40})
        filter.add({4800, 100'000'000 + late * 1'000'000}, false);  // frame 4800: 100 ms in, give or take
    EXPECT_EQ(filter.offset(*filter.best()), 1'000'000);
    // Reports of a latency from a sink that renders in blocks are late by up to a block: the earliest of
    // the recent ones, until it is older than the window, so that a real rise of the latency is followed.
    ReferenceFilter blocks(48000);
    for (std::int64_t k = 0; k < 6; ++k) blocks.add({4800 * k, 100'000'000 * k + (k % 2) * 5'000'000}, true);
    EXPECT_EQ(blocks.offset(*blocks.best()), 0);
    for (std::size_t k = 0; k < ReferenceFilter::kReports; ++k) blocks.add({48000, 1'003'000'000}, true);
    EXPECT_EQ(blocks.offset(*blocks.best()), 3'000'000);
}

}  // namespace
}  // namespace lumvar::testing
