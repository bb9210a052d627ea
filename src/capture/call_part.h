#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>

#include "audio/audio_types.h"
#include "capture/sample_ring.h"
#include "capture/wake_signal.h"

namespace lumvar::capture {

// One part of a call (the microphone, or what the machine plays) on its way from its IO thread to the
// pairing thread: its frames as one channel in a lock-free ring, and beside them the stamp of each
// chunk, from which the pairing thread learns when each frame was captured. Neither side allocates,
// locks or blocks, and the IO side makes no system call: the pairing thread takes the frames at its own
// pace.
//
// Runs: the main queue calls begin() before each start of the part's callback (a start, a rebuild) and
// end() after its stop, while no callback of the part can run; the chunks carry the run they belong to,
// so that the pairing thread places each run afresh.
class CallPart {
  public:
    struct Chunk {
        std::uint32_t frames = 0;
        std::uint32_t run = 0;
        std::uint64_t hostTime = 0;
        bool hostTimeValid = false;
    };
    static constexpr std::size_t kChunks = 1024;

    CallPart(std::size_t capacityFrames, WakeSignal& wake) : ring_(capacityFrames), wake_(wake) {}

    // --- the main queue ---
    // A run begins at `rate`: its frames were captured at their chunks' host times less `latencyNanos`.
    void begin(double rate, std::int64_t latencyNanos) {
        rate_.store(rate, std::memory_order_relaxed);
        latency_.store(latencyNanos, std::memory_order_relaxed);
        run_.store(run_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        active_.store(true, std::memory_order_release);
        wake_.notify();
    }
    // The run ended: no frames follow until the next begin(); the pairing thread stops waiting for them.
    void end() {
        active_.store(false, std::memory_order_release);
        wake_.notify();
    }
    void changeRate(double rate) { rate_.store(rate, std::memory_order_relaxed); }
    void changeLatency(std::int64_t latencyNanos) { latency_.store(latencyNanos, std::memory_order_relaxed); }

    // --- the IO thread ---
    // Room for `frames` frames, or nullopt when the pairing thread is this far behind (the chunk goes;
    // the next one's stamp says where the part is).
    std::optional<SampleRing::Region> reserve(std::size_t frames) {
        if (pushed_.load(std::memory_order_relaxed) - taken_.load(std::memory_order_acquire) >= kChunks)
            return std::nullopt;
        return ring_.reserve(frames);
    }
    // Publishes the frames reserved last, stamped `time` (may be null).
    void commit(std::size_t frames, const audio::AudioTimeStamp* time) {
        const std::uint64_t pushed = pushed_.load(std::memory_order_relaxed);
        chunks_[pushed % kChunks] = Chunk{
            .frames = static_cast<std::uint32_t>(frames),
            .run = run_.load(std::memory_order_relaxed),
            .hostTime = time != nullptr ? time->mHostTime : 0,
            .hostTimeValid = time != nullptr && (time->mFlags & audio::kAudioTimeStampHostTimeValid) != 0};
        ring_.commit(frames);
        pushed_.store(pushed + 1, std::memory_order_release);
        wake_.notifyUnlessPatient();  // the pairing thread comes at its own pace: no system call here
    }

    // --- the pairing thread ---
    // The oldest chunk not taken; its frames are the next ones readable().
    std::optional<Chunk> nextChunk() const {
        const std::uint64_t taken = taken_.load(std::memory_order_relaxed);
        if (taken == pushed_.load(std::memory_order_acquire)) return std::nullopt;
        return chunks_[taken % kChunks];
    }
    void takeChunk() { taken_.store(taken_.load(std::memory_order_relaxed) + 1, std::memory_order_release); }
    SampleRing& ring() { return ring_; }
    bool active() const { return active_.load(std::memory_order_acquire); }
    // The run begin() began last (the chunks of a run carry its number).
    std::uint32_t run() const { return run_.load(std::memory_order_relaxed); }
    double rate() const { return rate_.load(std::memory_order_relaxed); }
    std::int64_t latencyNanos() const { return latency_.load(std::memory_order_relaxed); }

  private:
    SampleRing ring_;
    WakeSignal& wake_;
    std::array<Chunk, kChunks> chunks_{};
    alignas(64) std::atomic<std::uint64_t> pushed_{0};
    alignas(64) std::atomic<std::uint64_t> taken_{0};
    std::atomic<double> rate_{0.0};
    std::atomic<std::int64_t> latency_{0};
    std::atomic<std::uint32_t> run_{0};
    std::atomic<bool> active_{false};
};

}  // namespace lumvar::capture
