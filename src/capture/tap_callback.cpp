#include <algorithm>
#include <bit>
#include <string>

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

// The level correction and the silence test in one pass over the samples; returns whether all were zero.
LUMVAR_VECTOR_CLONES bool multiplyAndScan(const float* __restrict in, float* __restrict out, std::size_t count,
                                          float scale) {
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

}  // namespace

audio::AudioDeviceIOBlock Tap::callbackFor(std::weak_ptr<Tap> tap) {
    return [tap = std::move(tap)](const audio::AudioTimeStamp*, const AudioBufferList* input,
                                  const audio::AudioTimeStamp*, AudioBufferList*, const audio::AudioTimeStamp*) {
        if (const auto self = tap.lock()) self->process(input);
    };
}

void Tap::process(const AudioBufferList* input) {
    if (input == nullptr || input->mNumberBuffers == 0) return;
    const audio::AudioBuffer& first = audio::buffersOf(*input)[0];
    if (first.mData == nullptr) return;

    if (!logged_.exchange(true, std::memory_order_relaxed)) logLayout(*input);

    const std::uint32_t bytes = first.mDataByteSize;
    if (bytes == 0) return;

    // Whole samples only: a stray trailing byte would shift every later sample of the stream.
    const std::size_t n = bytes / sizeof(float);
    const auto* samples = static_cast<const float*>(first.mData);
    // Unscaled samples go out as they are; scaled ones are made in the same pass as the silence test.
    const float* chunk = samples;
    bool silent = true;
    if (scale_ == 1.0f) {
        silent = allZero(samples, n);
    } else {
        float* scaled = scratchFor(n);
        silent = multiplyAndScan(samples, scaled, n, scale_);
        chunk = scaled;
    }

    {
        std::lock_guard guard(lock_);
        counters_.totalFrames += static_cast<std::int64_t>(n);
        counters_.zeroFrames = silent ? counters_.zeroFrames + static_cast<std::int64_t>(n) : 0;
    }

    if (n > 0) stdoutHandle_.write(std::as_bytes(std::span(chunk, n)));
}

void Tap::logLayout(const AudioBufferList& input) {
    const auto buffers = audio::buffersOf(input);
    const audio::AudioBuffer& first = buffers[0];
    const std::uint32_t frames = (first.mDataByteSize / 4) / std::max<std::uint32_t>(first.mNumberChannels, 1);
    env_.log.log("  IOProc#1: abl.count=" + formatUnsigned(input.mNumberBuffers) +
                 " buf0.ch=" + formatUnsigned(first.mNumberChannels) + " bytes=" + formatUnsigned(first.mDataByteSize) +
                 " frames=" + formatUnsigned(frames));
    for (std::size_t i = 0; i < buffers.size(); ++i) {
        env_.log.log("    buf[" + formatUnsigned(i) + "] ch=" + formatUnsigned(buffers[i].mNumberChannels) +
                     " bytes=" + formatUnsigned(buffers[i].mDataByteSize));
    }
}

}  // namespace lumvar::capture
