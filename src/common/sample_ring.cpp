#include "common/sample_ring.h"

#include <unistd.h>
#include <algorithm>

namespace lumvar {

SampleRing::SampleRing(std::size_t capacity) : data_(new float[capacity]), capacity_(capacity) {
    // One write per page makes the kernel back the whole ring now, not on the audio thread later.
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) / sizeof(float);
    volatile float* storage = data_.get();
    for (std::size_t i = 0; i < capacity_; i += page) storage[i] = 0.0f;
    if (capacity_ > 0) storage[capacity_ - 1] = 0.0f;
}

std::optional<SampleRing::Region> SampleRing::reserve(std::size_t samples) {
    const std::uint64_t written = written_.load(std::memory_order_relaxed);
    const std::uint64_t read = read_.load(std::memory_order_acquire);  // the consumer is done with that room
    if (capacity_ - static_cast<std::size_t>(written - read) < samples) return std::nullopt;
    const std::size_t first = std::min(samples, capacity_ - writeAt_);
    return Region{{data_.get() + writeAt_, first}, {data_.get(), samples - first}};
}

void SampleRing::commit(std::size_t samples) {
    writeAt_ += samples;
    if (writeAt_ >= capacity_) writeAt_ -= capacity_;
    written_.store(written_.load(std::memory_order_relaxed) + samples, std::memory_order_release);
}

std::span<const float> SampleRing::readable() const {
    const std::uint64_t read = read_.load(std::memory_order_relaxed);
    const std::uint64_t written = written_.load(std::memory_order_acquire);  // the samples are filled
    return {data_.get() + readAt_, std::min(static_cast<std::size_t>(written - read), capacity_ - readAt_)};
}

void SampleRing::consume(std::size_t samples) {
    readAt_ += samples;
    if (readAt_ >= capacity_) readAt_ -= capacity_;
    read_.store(read_.load(std::memory_order_relaxed) + samples, std::memory_order_release);
}

std::size_t SampleRing::size() const {
    const std::uint64_t read = read_.load(std::memory_order_acquire);
    return static_cast<std::size_t>(written_.load(std::memory_order_acquire) - read);
}

}  // namespace lumvar
