#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "app/parent_probe.h"
#include "audio/audio_env.h"
#include "audio/buffer_list.h"
#include "audio/scripted/scripted_audio.h"
#include "capture/sample_output.h"
#include "common/memory_sink.h"
#include "common/sleeper.h"
#include "common/uuid.h"

namespace lumvar::testing {

using namespace std::chrono_literals;
using audio::AudioObjectID;
using audio::ScriptedAudio;

// Counts global operator new calls made on any thread while a scope is open (alloc_counter.cpp).
extern std::atomic<bool> countingAllocations;
extern std::atomic<std::uint64_t> allocationCount;
struct AllocationScope {
    AllocationScope() { allocationCount = 0, countingAllocations = true; }
    ~AllocationScope() { countingAllocations = false; }
    std::uint64_t count() const { return allocationCount; }
};

struct FakeSleeper final : Sleeper {  // records the waits it is asked for instead of waiting
    std::vector<std::chrono::microseconds> waits;
    void sleepFor(std::chrono::microseconds duration) override { waits.push_back(duration); }
};

// Writes every waiting segment's line (keeping its start in `starts`) and lets go of everything the ring
// holds (keeping it in `samples`), as the main queue and a writer that keep up would.
inline void drainAll(capture::SampleOutput& output, std::vector<capture::SegmentStart>* starts = nullptr,
                     std::vector<float>* samples = nullptr) {
    for (;;) {
        for (auto start = output.nextToAnnounce(); start; start = output.nextToAnnounce()) {
            if (starts) starts->push_back(*start);
            output.lineQueued(), output.announced();
        }
        const auto ready = output.writable();
        if (ready.empty()) return;
        if (samples) samples->insert(samples->end(), ready.begin(), ready.end());
        output.consume(ready.size());
    }
}

// A scripted audio system with the output ring for standard output and a memory sink for standard error.
struct AudioFixture : ::testing::Test {
    ScriptedAudio hw;
    capture::SampleOutput out{1 << 16};
    MemorySink err;
    StatusLog log{err};
    audio::AudioEnv env{hw, log, platformText()};
    FakeSleeper sleeper;
    RandomUuids uuids;
    // A device is its UID, name, input and output streams' channels and nominal rate, in that order.
    AudioObjectID addOutput(std::uint32_t channels = 2, double rate = 48000.0, std::string uid = "speakers") {
        return hw.addDevice({std::move(uid), "Speakers", {}, {channels}, rate});
    }
    AudioObjectID addInput(std::string uid, std::string name, std::vector<std::uint32_t> streams) {
        return hw.addDevice({std::move(uid), std::move(name), std::move(streams), {}});
    }
    // Every sample written to standard output, and every segment start announced, so far.
    std::vector<float> stream_;
    std::vector<capture::SegmentStart> segments_;
    const std::vector<float>& written() { return drainAll(out, &segments_, &stream_), stream_; }
    const std::vector<capture::SegmentStart>& segments() { return written(), segments_; }
    void clearWritten() { written(), stream_.clear(), segments_.clear(); }
    // Nothing of the audio system left alive but its devices: taps, aggregates, IO procs, strings, listeners.
    void expectNothingLeaked() const {
        EXPECT_EQ((std::vector{hw.liveTaps(), hw.liveAggregates(), hw.liveIOProcs(), hw.liveStrings(),
                               hw.liveListeners()}),
                  std::vector<int>(5, 0));
    }
};

// One buffer list whose buffers point at vectors of floats the test owns (two channels each unless told).
struct Buffers {
    std::vector<std::vector<float>> data;
    audio::BufferListStorage storage;
    explicit Buffers(std::vector<std::vector<float>> samples, std::vector<std::uint32_t> channels = {})
        : data(std::move(samples)), storage(static_cast<std::uint32_t>(data.size())) {
        for (std::uint32_t i = 0; i < data.size(); ++i)
            storage.buffer(i) = {i < channels.size() ? channels[i] : 2,
                                 static_cast<std::uint32_t>(data[i].size() * sizeof(float)), data[i].data()};
    }
    const audio::AudioBufferList& list() const { return storage.list(); }
    audio::AudioBuffer& operator[](std::uint32_t i) { return storage.buffer(i); }
};

// The lines the tap's build writes on a stereo 48 kHz output (the scripted machine's, the test servers'),
// and the banner that ends start-up.
inline const std::string kBuildLines =
    "  output device channels: 2, level correction x1.0\n"
    "  aggregate rate set -> 48000.0 (wanted 48000.0, tries 0)\n"
    "  rates: output=48000.0 aggregate=48000.0\n"
    "  tap format: rate=48000.0 ch=2 bytesPerFrame=8 framesPerPacket=1 flags=9\n";
inline const std::string kBanner = "  > streaming (system). commands: SYSTEM | INPUT <uid> | LIST\n";

// A scripted machine with speakers (the default output) and a stereo microphone.
struct MachineFixture : AudioFixture {
    struct FakeParent final : app::ParentProbe {
        bool gone = false;
        bool parentGone() override { return gone; }
    } parent;
    AudioObjectID speakers = 0, mic = 0;
    void SetUp() override {
        hw.setDefaultOutput(speakers = addOutput(2, 48000.0, "speakers"));
        hw.setDefaultInput(mic = addInput("mic", "Desk Mic", {2}));
        hw.aggregateInitialRate = 48000.0;
    }
};

}  // namespace lumvar::testing
