#include "capture/sample_ring.h"

#include <sys/mman.h>
#include <new>

#include <unistd.h>
#include <algorithm>

namespace lumvar::capture {

namespace {

// The kernel backs every page now, not on the audio thread later. Where it can do so in one call
// (Linux's MAP_POPULATE, some fifteen times faster than a fault a page), it does.
float* backedStorage(std::size_t samples) {
    const std::size_t bytes = std::max<std::size_t>(samples, 1) * sizeof(float);
#if defined(MAP_POPULATE)
    void* memory =
        ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
#else
    void* memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
#endif
    if (memory == MAP_FAILED) throw std::bad_alloc();
#if !defined(MAP_POPULATE)
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    for (std::size_t at = 0; at < bytes; at += page) static_cast<volatile char*>(memory)[at] = 0;
#endif
    return static_cast<float*>(memory);
}

}  // namespace

SampleRing::SampleRing(std::size_t capacity) : capacity_(capacity), data_(backedStorage(capacity)) {}

SampleRing::~SampleRing() {
    ::munmap(data_, std::max<std::size_t>(capacity_, 1) * sizeof(float));
}

std::optional<SampleRing::Region> SampleRing::reserve(std::size_t samples) {
    const std::uint64_t written = written_.load(std::memory_order_relaxed);
    const std::uint64_t read = read_.load(std::memory_order_acquire);  // the consumer is done with that room
    if (capacity_ - static_cast<std::size_t>(written - read) < samples) return std::nullopt;
    const std::size_t first = std::min(samples, capacity_ - writeAt_);
    return Region{{data_ + writeAt_, first}, {data_, samples - first}};
}

void SampleRing::commit(std::size_t samples) {
    writeAt_ += samples;
    if (writeAt_ >= capacity_) writeAt_ -= capacity_;
    written_.store(written_.load(std::memory_order_relaxed) + samples, std::memory_order_release);
}

std::span<const float> SampleRing::readable() const {
    const std::uint64_t read = read_.load(std::memory_order_relaxed);
    const std::uint64_t written = written_.load(std::memory_order_acquire);  // the samples are filled
    return {data_ + readAt_, std::min(static_cast<std::size_t>(written - read), capacity_ - readAt_)};
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

}  // namespace lumvar::capture
