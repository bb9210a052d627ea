// The tap's IO callback on one 512-frame stereo buffer, against a plain copy of the same bytes.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "audio/buffer_list.h"
#include "audio/scripted/scripted_audio.h"
#include "capture/tap.h"
#include "common/memory_sink.h"

namespace {

using namespace lumvar;

constexpr std::size_t kSamples = 512 * 2;

std::vector<float> tone() {
    std::vector<float> samples(kSamples);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = 0.5f * std::sin(0.3f + static_cast<float>(i) * 0.01f);
    return samples;
}

void runCallback(benchmark::State& state, float scale, std::vector<float> samples) {
    audio::ScriptedAudio hw;
    NullSink err;
    NullSink out;
    StatusLog log(err);
    audio::AudioEnv env{hw, log, platformText()};
    RealSleeper sleeper;
    RandomUuids uuids;
    auto tap = capture::Tap::create(env, out, sleeper, uuids);
    tap->setScale(scale);

    audio::BufferListStorage buffers(1);
    buffers.buffer(0) = {2, static_cast<std::uint32_t>(samples.size() * sizeof(float)), samples.data()};
    for (auto _ : state) {
        tap->process(&buffers.list());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSamples * sizeof(float)));
}

void BM_Memcpy(benchmark::State& state) {
    const auto samples = tone();
    std::vector<float> target(kSamples);
    for (auto _ : state) {
        std::memcpy(target.data(), samples.data(), kSamples * sizeof(float));
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSamples * sizeof(float)));
}

void BM_TapCallbackUnity(benchmark::State& state) { runCallback(state, 1.0f, tone()); }
void BM_TapCallbackScaled(benchmark::State& state) { runCallback(state, 1.5f, tone()); }
// Silence is the worst case of the scan: every value is looked at.
void BM_TapCallbackSilentUnity(benchmark::State& state) { runCallback(state, 1.0f, std::vector<float>(kSamples)); }
void BM_TapCallbackSilentScaled(benchmark::State& state) { runCallback(state, 1.5f, std::vector<float>(kSamples)); }

BENCHMARK(BM_Memcpy);
BENCHMARK(BM_TapCallbackUnity);
BENCHMARK(BM_TapCallbackScaled);
BENCHMARK(BM_TapCallbackSilentUnity);
BENCHMARK(BM_TapCallbackSilentScaled);

}  // namespace
