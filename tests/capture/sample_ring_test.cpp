// What an IO thread shares with the others without a lock: the sample ring, and the gate that keeps a
// stopped source's late callback out of it.
#include "capture/sample_ring.h"

#include <gtest/gtest.h>

#include <atomic>
#include <numeric>
#include <thread>

#include "capture/callback_gate.h"

namespace lumvar::capture {
namespace {

// Writes `count` values from `from` on as one chunk; false when the ring has no room for all of them.
bool put(SampleRing& ring, float from, std::size_t count) {
    const auto room = ring.reserve(count);
    if (!room) return false;
    std::iota(room->first.begin(), room->first.end(), from);
    std::iota(room->second.begin(), room->second.end(), from + static_cast<float>(room->first.size()));
    ring.commit(count);
    return true;
}

// A producer thread writes 0, 1, 2, ... in chunks of every length up to 97 (so they end anywhere in the
// ring, whole or not at all) while this one reads: nothing lost, repeated or out of order.
TEST(SampleRing, AProducerAndAConsumerThreadLoseNothingAndReorderNothing) {
    SampleRing ring(1000);
    constexpr std::size_t kTotal = 2'000'000;  // floats count exactly up to 2^24
    std::thread producer([&] {
        for (std::size_t next = 0; next < kTotal;) {
            const std::size_t chunk = std::min<std::size_t>(1 + next % 97, kTotal - next);
            if (put(ring, static_cast<float>(next), chunk)) next += chunk;
        }
    });
    std::size_t seen = 0;
    bool ordered = true;
    while (seen < kTotal) {
        const auto part = ring.readable();
        for (const float value : part) ordered &= value == static_cast<float>(seen++);
        ring.consume(part.size());
    }
    producer.join();
    EXPECT_TRUE(ordered);
    EXPECT_FALSE(put(ring, 0, 1001));                     // more than it holds: refused whole
    EXPECT_TRUE(put(ring, 0, 1000) && !put(ring, 0, 1));  // exactly full, then nothing more
}

TEST(CallbackGate, CloseWaitsForTheCallbackInsideAndTurnsAwayLaterOnes) {
    CallbackGate gate;
    ASSERT_TRUE(gate.enter());
    std::atomic<bool> closed{false};
    std::thread stopper([&] { gate.close(), closed = true; });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(closed);  // a callback is still inside
    gate.leave();
    stopper.join();
    EXPECT_FALSE(gate.enter());
}

}  // namespace
}  // namespace lumvar::capture
