#include "capture/tap.h"

namespace lumvar::capture {

namespace {
// Room for the scaled samples of a typical cycle, so the first callbacks need not allocate.
constexpr std::size_t kScratchReserve = 8192;
}  // namespace

std::shared_ptr<Tap> Tap::create(audio::AudioEnv env, ByteSink& stdoutHandle) {
    return std::shared_ptr<Tap>(new Tap(env, stdoutHandle));
}

Tap::Tap(audio::AudioEnv env, ByteSink& stdoutHandle) : env_(env), stdoutHandle_(stdoutHandle) {}

Tap::Counters Tap::counters() const {
    std::lock_guard guard(lock_);
    return counters_;
}

void Tap::setCounters(Counters counters) {
    std::lock_guard guard(lock_);
    counters_ = counters;
}

void Tap::setScale(float scale) {
    scale_ = scale;
    if (scale != 1.0f) scratchFor(kScratchReserve);
}

float* Tap::scratchFor(std::size_t samples) {
    // Cache-line aligned, so that no vector store of the scaled samples straddles two lines.
    constexpr std::size_t kAlign = 64 / sizeof(float);
    if (scratch_.size() < samples + kAlign) scratch_.resize(samples + kAlign);  // only for a larger buffer than ever
    const auto address = reinterpret_cast<std::uintptr_t>(scratch_.data());
    const std::size_t skip = ((64 - address % 64) % 64) / sizeof(float);
    return scratch_.data() + skip;
}

}  // namespace lumvar::capture
