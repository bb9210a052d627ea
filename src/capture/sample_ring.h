#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace lumvar::capture {

// A single-producer single-consumer ring of float samples, lock-free and allocation-free once made.
// The producer reserves room for a whole chunk or nothing, fills it and commits it; the consumer
// reads what is committed and consumes it. Because the unit is one sample, no chunk and no read ever
// carries part of a sample.
//
// Exactly one thread may produce and one may consume at a time. Another thread may take over either
// role only after the previous one's last call happens-before its first (a lock or a thread join
// between them).
class SampleRing {
  public:
    // Room to fill: `first` up to the end of the storage, then `second` from its start (often empty).
    struct Region {
        std::span<float> first;
        std::span<float> second;
    };

    // Allocates the storage with every page of it backed, so no page fault waits on the audio thread.
    explicit SampleRing(std::size_t capacity);
    ~SampleRing();
    SampleRing(const SampleRing&) = delete;
    SampleRing& operator=(const SampleRing&) = delete;

    std::size_t capacity() const { return capacity_; }

    // --- producer ---
    // Room for exactly `samples`, or nullopt when fewer are free; nothing is published until commit.
    std::optional<Region> reserve(std::size_t samples);
    // Publishes the `samples` last reserved.
    void commit(std::size_t samples);
    // Every sample committed so far: the position of the next one in the whole stream.
    std::uint64_t committedTotal() const { return written_.load(std::memory_order_relaxed); }

    // --- consumer ---
    // The committed samples up to the end of the storage (the rest follows after consume()).
    std::span<const float> readable() const;
    void consume(std::size_t samples);
    // Every sample consumed so far: the position of the next one to read in the whole stream.
    std::uint64_t consumedTotal() const { return read_.load(std::memory_order_relaxed); }

    // Committed and not yet consumed; exact on the consumer's thread, a snapshot elsewhere.
    std::size_t size() const;
    bool empty() const { return size() == 0; }

  private:
    std::size_t capacity_;
    float* data_;
    // Counts of every sample ever committed or consumed (they never wrap: 2^64), each beside its own
    // side's offset into the storage, so that no call divides.
    alignas(64) std::atomic<std::uint64_t> written_{0};
    std::size_t writeAt_ = 0;  // the producer's alone
    alignas(64) std::atomic<std::uint64_t> read_{0};
    std::size_t readAt_ = 0;  // the consumer's alone
};

}  // namespace lumvar::capture
