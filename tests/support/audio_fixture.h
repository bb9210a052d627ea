#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "audio/audio_env.h"
#include "audio/buffer_list.h"
#include "audio/scripted/scripted_audio.h"
#include "capture/sample_output.h"
#include "common/memory_sink.h"
#include "common/sleeper.h"
#include "common/uuid.h"

namespace lumvar::testing {

using audio::AudioObjectID;
using audio::ScriptedAudio;

// Records the waits it is asked for instead of waiting.
struct FakeSleeper final : Sleeper {
    std::vector<std::chrono::microseconds> waits;
    void sleepFor(std::chrono::microseconds duration) override { waits.push_back(duration); }
};

// Writes every waiting segment's line (handing each start to `announce`) and lets go of everything
// the ring holds, as the main queue and a writer that keep up would.
template <typename Announce, typename Write>
void drainAll(capture::SampleOutput& output, Announce announce, Write write) {
    for (;;) {
        while (const auto start = output.nextToAnnounce()) {
            announce(*start);
            output.lineQueued();
            output.announced();
        }
        const auto samples = output.writable();
        if (samples.empty()) return;
        write(samples);
        output.consume(samples.size());
    }
}
inline void discardAll(capture::SampleOutput& output) {
    drainAll(
        output, [](const capture::SegmentStart&) {}, [](std::span<const float>) {});
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
    AudioObjectID addOutput(std::uint32_t channels = 2, double rate = 48000.0, std::string uid = "speakers") {
        return hw.addDevice({.uid = uid,
                             .name = "Speakers",
                             .inputStreams = {},
                             .outputStreams = {channels},
                             .nominalRate = rate});
    }
    AudioObjectID addInput(std::string uid, std::string name, std::vector<std::uint32_t> streams) {
        return hw.addDevice({.uid = std::move(uid),
                             .name = std::move(name),
                             .inputStreams = std::move(streams),
                             .outputStreams = {}});
    }
    // Every sample written to standard output so far.
    const std::vector<float>& written() {
        drainAll(
            out, [this](const capture::SegmentStart& start) { segments_.push_back(start); },
            [this](std::span<const float> samples) {
                stream_.insert(stream_.end(), samples.begin(), samples.end());
            });
        return stream_;
    }
    // Every segment start announced so far.
    const std::vector<capture::SegmentStart>& segments() {
        written();
        return segments_;
    }
    void clearWritten() {
        written();
        stream_.clear();
        segments_.clear();
    }
    // Every test ends with nothing of the audio system left alive but its devices.
    void expectNothingLeaked() const {
        EXPECT_EQ(hw.liveTaps(), 0);
        EXPECT_EQ(hw.liveAggregates(), 0);
        EXPECT_EQ(hw.liveIOProcs(), 0);
        EXPECT_EQ(hw.liveStrings(), 0);
        EXPECT_EQ(hw.liveListeners(), 0);
    }

  private:
    std::vector<float> stream_;
    std::vector<capture::SegmentStart> segments_;
};

// One buffer list whose buffers point at vectors of floats the test owns.
struct Buffers {
    std::vector<std::vector<float>> data;
    audio::BufferListStorage storage;
    explicit Buffers(std::vector<std::vector<float>> samples, std::vector<std::uint32_t> channels = {})
        : data(std::move(samples)), storage(static_cast<std::uint32_t>(data.size())) {
        for (std::uint32_t i = 0; i < data.size(); ++i) {
            auto& buffer = storage.buffer(i);
            buffer.mNumberChannels = i < channels.size() ? channels[i] : 2;
            buffer.mDataByteSize = static_cast<std::uint32_t>(data[i].size() * sizeof(float));
            buffer.mData = data[i].data();
        }
    }
    const audio::AudioBufferList& list() const { return storage.list(); }
    audio::AudioBuffer& operator[](std::uint32_t i) { return storage.buffer(i); }
};

}  // namespace lumvar::testing
