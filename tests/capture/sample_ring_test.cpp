#include "capture/sample_ring.h"

#include <gtest/gtest.h>

#include <numeric>
#include <thread>
#include <vector>

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

std::vector<float> takeAll(SampleRing& ring) {
    std::vector<float> taken;
    for (auto part = ring.readable(); !part.empty(); part = ring.readable()) {
        taken.insert(taken.end(), part.begin(), part.end());
        ring.consume(part.size());
    }
    return taken;
}

TEST(SampleRing, WrapsAroundAndTakesWholeChunksOrNothing) {
    SampleRing ring(10);
    EXPECT_TRUE(takeAll(ring).empty());
    ASSERT_TRUE(put(ring, 0, 6));
    EXPECT_FALSE(put(ring, 100, 5));  // 4 free: nothing of it goes in
    ASSERT_TRUE(put(ring, 6, 4));
    EXPECT_FALSE(put(ring, 99, 1));  // full
    EXPECT_EQ(takeAll(ring), (std::vector<float>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    ASSERT_TRUE(put(ring, 0, 7) && takeAll(ring).size() == 7);
    ASSERT_TRUE(put(ring, 50, 8));  // across the end of the storage: read back in order
    EXPECT_EQ(takeAll(ring), (std::vector<float>{50, 51, 52, 53, 54, 55, 56, 57}));
}

TEST(SampleRing, AProducerAndAConsumerThreadLoseNothingAndReorderNothing) {
    SampleRing ring(1000);
    constexpr std::size_t kTotal = 2'000'000;  // floats count exactly up to 2^24
    std::thread producer([&] {
        for (std::size_t next = 0; next < kTotal;) {
            const std::size_t chunk = std::min<std::size_t>(1 + next % 97, kTotal - next);  // wraps anywhere
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
}

}  // namespace
}  // namespace lumvar::capture
