#include "common/sample_ring.h"

#include <gtest/gtest.h>

#include <numeric>
#include <thread>
#include <vector>

namespace lumvar {
namespace {

// Writes `values` as one chunk; false when the ring has no room for all of them.
bool put(SampleRing& ring, const std::vector<float>& values) {
    const auto room = ring.reserve(values.size());
    if (!room) return false;
    EXPECT_EQ(room->first.size() + room->second.size(), values.size());
    std::copy_n(values.begin(), room->first.size(), room->first.begin());
    std::copy(values.begin() + static_cast<std::ptrdiff_t>(room->first.size()), values.end(), room->second.begin());
    ring.commit(values.size());
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

std::vector<float> counting(float from, std::size_t count) {
    std::vector<float> values(count);
    std::iota(values.begin(), values.end(), from);
    return values;
}

TEST(SampleRing, WrapsAroundAndRefusesWhatDoesNotFitWhole) {
    SampleRing ring(10);
    EXPECT_TRUE(ring.empty());
    EXPECT_TRUE(takeAll(ring).empty());

    ASSERT_TRUE(put(ring, counting(0, 6)));
    EXPECT_FALSE(put(ring, counting(100, 5)));  // 4 free: nothing of it goes in
    ASSERT_TRUE(put(ring, counting(6, 4)));
    EXPECT_EQ(ring.size(), 10u);
    EXPECT_FALSE(put(ring, {99}));  // full
    EXPECT_EQ(takeAll(ring), counting(0, 10));

    // Across the end of the storage: reserved in two pieces, read back in order.
    ASSERT_TRUE(put(ring, counting(0, 7)));
    EXPECT_EQ(takeAll(ring), counting(0, 7));
    ASSERT_TRUE(put(ring, counting(50, 8)));
    EXPECT_EQ(ring.readable().size(), 3u);  // up to the end of the storage first
    EXPECT_EQ(takeAll(ring), counting(50, 8));
    EXPECT_TRUE(ring.empty());
}

TEST(SampleRing, AProducerAndAConsumerThreadLoseNothingAndReorderNothing) {
    SampleRing ring(1000);
    constexpr std::size_t kTotal = 2'000'000;
    std::thread producer([&] {
        std::size_t next = 0;
        while (next < kTotal) {
            const std::size_t chunk = std::min<std::size_t>(1 + next % 97, kTotal - next);  // sizes that wrap anywhere
            if (put(ring, counting(static_cast<float>(next), chunk))) next += chunk;  // exact below 2^24
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
    EXPECT_TRUE(ring.empty());
}

}  // namespace
}  // namespace lumvar
