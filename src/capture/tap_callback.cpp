#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "audio/audio_properties.h"
#include "audio/property_queries.h"
#include "capture/input_channels.h"
#include "capture/tap.h"
#include "common/number_format.h"

namespace lumvar::capture {

using audio::AudioBufferList;

namespace {

// Inner loops run over fixed-size blocks so that they vectorize without an epilogue.
constexpr std::size_t kBlock = 64;

// On x86-64 the loops get an AVX2 version picked at load time; the baseline has only SSE2. Not under
// the sanitizers, whose instrumented resolvers would run before their runtimes start.
#if defined(__x86_64__) && defined(__linux__) && defined(__GNUC__) && !defined(__SANITIZE_THREAD__) && \
    !defined(__SANITIZE_ADDRESS__)
#define LUMVAR_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define LUMVAR_VECTOR_CLONES
#endif

// Whether all `count` values equal 0.0 of either sign; NaN and denormals are not silence. Works on the
// bits with the sign shifted out, which is exactly IEEE equality with zero, and stops at the first
// loud block.
LUMVAR_VECTOR_CLONES bool allZero(const float* samples, std::size_t count) {
    std::size_t i = 0;
    for (; i + kBlock <= count; i += kBlock) {
        std::uint32_t any = 0;
        for (std::size_t k = 0; k < kBlock; ++k) any |= std::bit_cast<std::uint32_t>(samples[i + k]) << 1;
        if (any != 0) return false;
    }
    std::uint32_t any = 0;
    for (; i < count; ++i) any |= std::bit_cast<std::uint32_t>(samples[i]) << 1;
    return any == 0;
}

// Copies the samples bit for bit and tests them for silence in the same pass; returns whether all were zero.
LUMVAR_VECTOR_CLONES bool copyAndScan(const float* __restrict in, float* __restrict out, std::size_t count) {
    const auto copy = [&](std::size_t i) {
        std::uint32_t bits;
        std::memcpy(&bits, in + i, sizeof bits);
        std::memcpy(out + i, &bits, sizeof bits);
        return bits << 1;
    };
    std::uint32_t any = 0;
    std::size_t i = 0;
    for (; i + kBlock <= count; i += kBlock)
        for (std::size_t k = 0; k < kBlock; ++k) any |= copy(i + k);
    for (; i < count; ++i) any |= copy(i);
    return any == 0;
}

// The level correction and the silence test in one pass; returns whether all were zero.
LUMVAR_VECTOR_CLONES bool multiplyAndScan(const float* __restrict in, float* __restrict out,
                                          std::size_t count, float scale) {
    std::uint32_t any = 0;
    std::size_t i = 0;
    for (; i + kBlock <= count; i += kBlock) {
        for (std::size_t k = 0; k < kBlock; ++k) {
            any |= std::bit_cast<std::uint32_t>(in[i + k]) << 1;
            out[i + k] = in[i + k] * scale;
        }
    }
    for (; i < count; ++i) {
        any |= std::bit_cast<std::uint32_t>(in[i]) << 1;
        out[i] = in[i] * scale;
    }
    return any == 0;
}

// Fills one piece of the ring; scale 1.0 keeps every bit of every sample (a NaN's payload included).
bool fill(const float* in, std::span<float> out, float scale) {
    if (out.empty()) return true;
    return scale == 1.0f ? copyAndScan(in, out.data(), out.size())
                         : multiplyAndScan(in, out.data(), out.size(), scale);
}

}  // namespace

void Tap::process(const AudioBufferList* input, const audio::AudioTimeStamp* time,
                  [[maybe_unused]] const audio::AudioTimeStamp* now) {
    ioCycles_.store(ioCycles_.load(std::memory_order_relaxed) + 1,
                    std::memory_order_relaxed);  // the only writer
    if (input == nullptr || input->mNumberBuffers == 0) return;
    const audio::AudioBuffer& first = audio::buffersOf(*input)[0];
    if (first.mData == nullptr) return;

    if (!logged_.load(std::memory_order_relaxed) && !logged_.exchange(true, std::memory_order_relaxed))
        keepLayout(*input);
#ifdef LUMVAR_DEBUG_NOTIFICATIONS
    if (timing_.load(std::memory_order_relaxed) == kToKeep && time != nullptr && now != nullptr) {
        inputAfterNow_.store(static_cast<std::int64_t>(time->mHostTime - now->mHostTime),
                             std::memory_order_relaxed);
        timing_.store(kKept, std::memory_order_release);
        stdoutHandle_.notice();
    }
#endif

    if (feed_) return feedParts(*input, time);

    const std::uint32_t bytes = first.mDataByteSize;
    if (bytes == 0) return;

    // Whole samples only: a stray trailing byte would shift every later sample of the stream.
    const std::size_t n = bytes / sizeof(float);
    const auto* samples = static_cast<const float*>(first.mData);
    stdoutHandle_.cycle(time, n / std::max<std::uint32_t>(first.mNumberChannels, 1));
    if (n == 0) return counters_.add(0, true);
    const auto room = stdoutHandle_.reserve(n);
    if (!room) {
        // The parent is this far behind: the whole chunk goes, and it still counts as captured.
        counters_.add(static_cast<std::int64_t>(n), allZero(samples, n));
        stdoutHandle_.dropped(n);
        return;
    }
    // Copied (or scaled) straight into the ring, tested for silence in the same pass.
    const bool firstSilent = fill(samples, room->first, scale_);
    const bool secondSilent = fill(samples + room->first.size(), room->second, scale_);  // both always filled
    counters_.add(static_cast<std::int64_t>(n), firstSilent && secondSilent);
    stdoutHandle_.commit(n, firstSilent && secondSilent);
}

// A call's cycle: the tap's two channels as their mean, level-corrected, for what plays; the microphone's
// channels 0 and 1 as theirs, where the aggregate holds it. Both parts get the cycle's stamp.
void Tap::feedParts(const AudioBufferList& input, const audio::AudioTimeStamp* time) {
    const auto buffers = audio::buffersOf(input);
    if (tapBuffer_ < buffers.size() && buffers[tapBuffer_].mData != nullptr) {
        const audio::AudioBuffer& tap = buffers[tapBuffer_];
        const std::size_t channels = std::max<std::uint32_t>(tap.mNumberChannels, 1);
        const std::size_t frames = tap.mDataByteSize / sizeof(float) / channels;
        const auto* samples = static_cast<const float*>(tap.mData);
        if (const auto room = frames > 0 ? feed_->system->reserve(frames) : std::nullopt) {
            const float half = channels >= 2 ? 0.5f * scale_ : scale_;
            std::size_t frame = 0;
            for (const std::span<float> piece : {room->first, room->second})
                for (float& sample : piece) {
                    const float* at = samples + frame++ * channels;
                    sample = half * (channels >= 2 ? at[0] + at[1] : at[0]);
                }
            feed_->system->commit(frames, time);
        }
        counters_.add(static_cast<std::int64_t>(frames * channels), allZero(samples, frames * channels));
    }
    if (micBuffers_ == 0 || micFirst_ + micBuffers_ > buffers.size()) return;
    const auto mic = inputChannelsOf(buffers.subspan(micFirst_, micBuffers_));
    if (!mic || mic->frames == 0) return;
    const auto room = feed_->mic->reserve(mic->frames);
    if (!room) return;
    std::size_t frame = 0;
    for (const std::span<float> piece : {room->first, room->second})
        for (float& sample : piece) sample = 0.5f * (mic->first.at(frame) + mic->second.at(frame)), ++frame;
    feed_->mic->commit(mic->frames, time);
}

void Tap::keepLayout(const AudioBufferList& input) {
    const auto buffers = audio::buffersOf(input);
    layout_.count = input.mNumberBuffers;
    std::copy_n(buffers.begin(), std::min(buffers.size(), Layout::kMaxBuffers), layout_.buffers.begin());
    layoutKept_.store(true, std::memory_order_release);
    stdoutHandle_.notice();
}

void Tap::reportLayout() {
#ifdef LUMVAR_DEBUG_NOTIFICATIONS
    // For the field check, once a build: what the tap's stamp lies from the cycle, and the output side's
    // parts.
    if (int kept = kKept;
        running() && timing_.compare_exchange_strong(kept, kWritten, std::memory_order_acquire)) {
        const auto frames = [&](audio::AudioObjectID object, audio::FourCharCode selector,
                                audio::FourCharCode scope) {
            const auto value = audio::frameProperty(env_, object, selector, scope);
            return value ? formatUnsigned(*value) : std::string("failed");
        };
        const std::uint64_t now = env_.hw.currentHostTime();
        const std::int64_t ahead = inputAfterNow_.load(std::memory_order_relaxed);
        env_.log.log(
            "  tap timing: input-now=" +
            formatInt(env_.hw.hostTimeToClockNanos(now + static_cast<std::uint64_t>(ahead)) -
                      env_.hw.hostTimeToClockNanos(now)) +
            " output latency=" +
            frames(outputID_, audio::kAudioDevicePropertyLatency, audio::kAudioObjectPropertyScopeOutput) +
            " safety offset=" +
            frames(outputID_, audio::kAudioDevicePropertySafetyOffset,
                   audio::kAudioObjectPropertyScopeOutput) +
            " buffer=" +
            frames(outputID_, audio::kAudioDevicePropertyBufferFrameSize,
                   audio::kAudioObjectPropertyScopeGlobal) +
            " stream latency=" +
            frames(audio::firstStream(env_, outputID_, audio::kAudioObjectPropertyScopeOutput),
                   audio::kAudioStreamPropertyLatency, audio::kAudioObjectPropertyScopeGlobal));
    }
#endif
    if (!layoutKept_.exchange(false, std::memory_order_acquire)) return;
    const audio::AudioBuffer& first = layout_.buffers[0];
    const std::uint32_t frames =
        (first.mDataByteSize / 4) / std::max<std::uint32_t>(first.mNumberChannels, 1);
    env_.log.log("  IOProc#1: abl.count=" + formatUnsigned(layout_.count) +
                 " buf0.ch=" + formatUnsigned(first.mNumberChannels) +
                 " bytes=" + formatUnsigned(first.mDataByteSize) + " frames=" + formatUnsigned(frames));
    for (std::size_t i = 0; i < std::min<std::size_t>(layout_.count, Layout::kMaxBuffers); ++i) {
        env_.log.log("    buf[" + formatUnsigned(i) +
                     "] ch=" + formatUnsigned(layout_.buffers[i].mNumberChannels) +
                     " bytes=" + formatUnsigned(layout_.buffers[i].mDataByteSize));
    }
}

}  // namespace lumvar::capture
