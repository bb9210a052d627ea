#include "app/main_queue.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace lumvar::app {

using namespace std::chrono_literals;
using Clock = MainQueue::Clock;

// Items run in the order posted, termination first; what an item posts waits for the next round, a
// delayed item for its time. Served late at 4.9 s, the timer's next deadline stays at 6 s; 8, 10 and
// 12 s, missed while the queue was busy, make one tick.
TEST(MainQueue, RunsItemsInOrderTerminationFirstDelayedOnesWhenDueAndTicksOnItsGrid) {
    Clock::time_point now{};
    MainQueue queue([&] { return now; });
    std::vector<int> order;
    int ticks = 0;
    queue.startTimer(2s, [&] { ++ticks; });
    queue.post([&] { order.push_back(1); });
    queue.postAfter(100ms, [&] { order.push_back(9); });
    queue.post([&] {
        order.push_back(2);
        queue.post([&] { order.push_back(4); });
    });
    queue.postFirst([&] { order.push_back(0); });
    // When, the items that run then, and the ticks so far.
    const std::vector<std::tuple<Clock::duration, std::size_t, int>> steps = {
        {0ms, 3, 0},    {99ms, 1, 0}, {100ms, 1, 0}, {1999ms, 0, 0},  {2s, 1, 1},
        {4900ms, 1, 2}, {6s, 1, 3},   {13s, 1, 4},   {13999ms, 0, 4}, {14s, 1, 5}};
    for (const auto& [at, ran, ticked] : steps) {
        now = Clock::time_point{} + at;
        EXPECT_EQ(queue.runPending(), ran) << at.count();
        EXPECT_EQ(ticks, ticked) << at.count();
    }
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 4, 9}));
}

TEST(MainQueue, RunServesOtherThreadsAndItsTimersUntilStopped) {
    MainQueue queue;
    std::vector<int> seen;
    int ticks = 0;
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i) queue.post([&seen, i] { seen.push_back(i); });
    });
    queue.startTimer(5ms, [&] {
        if (++ticks == 3) queue.postAfter(5ms, [&] { queue.stop(7); });
    });
    EXPECT_EQ(queue.run(), 7);
    poster.join();
    ASSERT_EQ(seen.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(i)], i);
}

}  // namespace lumvar::app
