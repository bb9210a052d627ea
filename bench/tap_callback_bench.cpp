// The tap's IO callback on one 512-frame stereo buffer into the output ring, against a plain copy of
// the same bytes; and the one system call the callback may make, the wake-up of a sleeping writer.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#endif
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
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = 0.5f * std::sin(0.3f + static_cast<float>(i) * 0.01f);
    return samples;
}

// Each iteration: one call of the callback the tap registered, as the platform makes it (the pass
// through its gate included), into the ring. Every 32 callbacks the writer's side lets the samples
// go (and the main queue's side writes the segment lines: an anchor every 480,000 frames), so its cost
// is spread thin; no wake-up system call is made (a writer that is awake needs none). Each cycle is
// stamped as a platform stamps it, its sample time following on from the last.
// A 3-channel output device gives the tap a level correction of 1.5.
void runCallback(benchmark::State& state, std::uint32_t outputChannels, std::vector<float> samples) {
    audio::ScriptedAudio hw;
    hw.setDefaultOutput(
        hw.addDevice({.uid = "out", .name = {}, .inputStreams = {}, .outputStreams = {outputChannels}}));
    hw.aggregateInitialRate = 48000.0;
    NullSink err;
    StatusLog log(err);
    audio::AudioEnv env{hw, log, platformText()};
    RealSleeper sleeper;
    RandomUuids uuids;
    capture::SampleOutput out;  // the helper's own ring, 3 MiB
    auto tap = capture::Tap::create(env, out, sleeper, uuids);
    if (!tap->build()) return state.SkipWithError("build");

    audio::BufferListStorage buffers(1);
    buffers.buffer(0) = {2, static_cast<std::uint32_t>(samples.size() * sizeof(float)), samples.data()};
    const audio::AudioDeviceIOBlock callback = hw.callbackOf(tap->aggID());
    audio::AudioTimeStamp time{};
    time.mFlags = audio::kAudioTimeStampSampleTimeValid | audio::kAudioTimeStampHostTimeValid;
    audio::AudioBufferList unused{};
    std::int64_t calls = 0;
    for (auto _ : state) {
        callback(&time, &buffers.list(), &time, &unused, &time);
        time.mSampleTime += static_cast<double>(kSamples / 2);
        time.mHostTime += 10'666'667;
        if (++calls % 32 == 0) {
            while (out.nextToAnnounce()) {
                out.lineQueued();
                out.announced();
            }
            for (auto ready = out.writable(); !ready.empty(); ready = out.writable())
                out.consume(ready.size());
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSamples * sizeof(float)));
    tap->teardown();
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

// The same bytes into successive slots of a ring-sized area: the memory traffic any ring has.
void BM_MemcpyIntoRingSlots(benchmark::State& state) {
    const auto samples = tone();
    std::vector<float> ring(capture::SampleOutput::kCapacity);
    std::size_t at = 0;
    for (auto _ : state) {
        std::memcpy(ring.data() + at, samples.data(), kSamples * sizeof(float));
        at = at + 2 * kSamples <= ring.size() ? at + kSamples : 0;
        benchmark::DoNotOptimize(ring.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSamples * sizeof(float)));
}

void BM_TapCallbackUnity(benchmark::State& state) {
    runCallback(state, 2, tone());
}
void BM_TapCallbackScaled(benchmark::State& state) {
    runCallback(state, 3, tone());
}
// Silence is the worst case of the scan: every value is looked at.
void BM_TapCallbackSilentUnity(benchmark::State& state) {
    runCallback(state, 2, std::vector<float>(kSamples));
}
void BM_TapCallbackSilentScaled(benchmark::State& state) {
    runCallback(state, 3, std::vector<float>(kSamples));
}

#if defined(__linux__)
// What a callback adds on Linux when the writer sleeps: one futex wake (here of a word nobody waits on,
// so the system call without the scheduler's share of waking a thread).
void BM_FutexWake(benchmark::State& state) {
    std::uint32_t word = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(::syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0));
}
BENCHMARK(BM_FutexWake);
#endif

// The wake of the fallback used off Linux: one byte into the non-blocking wake pipe.
void BM_PipeWake(benchmark::State& state) {
    int fds[2];
    if (::pipe(fds) != 0) return state.SkipWithError("pipe");
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    const char byte = 1;
    char drained[4096];
    std::int64_t written = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(::write(fds[1], &byte, 1));
        if (++written % 4096 == 0) {
            state.PauseTiming();
            while (::read(fds[0], drained, sizeof drained) > 0) {
            }
            state.ResumeTiming();
        }
    }
    ::close(fds[0]);
    ::close(fds[1]);
}

BENCHMARK(BM_Memcpy);
BENCHMARK(BM_MemcpyIntoRingSlots);
BENCHMARK(BM_TapCallbackUnity);
BENCHMARK(BM_TapCallbackScaled);
BENCHMARK(BM_TapCallbackSilentUnity);
BENCHMARK(BM_TapCallbackSilentScaled);
BENCHMARK(BM_PipeWake);

}  // namespace
