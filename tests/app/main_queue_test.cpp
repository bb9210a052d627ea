#include "app/main_queue.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace lumvar::app {

using namespace std::chrono_literals;
using Clock = MainQueue::Clock;

TEST(MainQueue, RunsItemsInOrderTerminationFirstAndDelayedOnesWhenDue) {
    Clock::time_point now{};
    MainQueue queue([&] { return now; });
    std::vector<int> order;
    queue.post([&] { order.push_back(1); });
    queue.postAfter(100ms, [&] { order.push_back(9); });
    queue.post([&] {
        order.push_back(2);
        queue.post([&] { order.push_back(4); });  // posted while running: waits for the next round
    });
    queue.postFirst([&] { order.push_back(0); });
    EXPECT_EQ(queue.runPending(), 3u);
    now += 99ms;
    EXPECT_EQ(queue.runPending(), 1u);
    now += 1ms;
    queue.runPending();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 4, 9}));
}

TEST(MainQueue, TimerKeepsItsGridAndCoalescesMissedDeadlines) {
    Clock::time_point now{};
    MainQueue queue([&] { return now; });
    int ticks = 0;
    queue.startTimer(2s, [&] { ++ticks; });
    const auto ticksAt = [&](Clock::duration at) {
        now = Clock::time_point{} + at;
        queue.runPending();
        return ticks;
    };
    EXPECT_EQ(ticksAt(1999ms), 0);
    EXPECT_EQ(ticksAt(2s), 1);
    EXPECT_EQ(ticksAt(4900ms), 2);  // served late: the next deadline stays at 6 s, not 6.9 s
    EXPECT_EQ(ticksAt(6s), 3);
    EXPECT_EQ(ticksAt(13s), 4);  // 8, 10 and 12 passed while busy: one tick, then 14
    EXPECT_EQ(ticksAt(13999ms), 4);
    EXPECT_EQ(ticksAt(14s), 5);
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
    std::vector<int> expected(100);
    for (int i = 0; i < 100; ++i) expected[static_cast<std::size_t>(i)] = i;
    EXPECT_EQ(seen, expected);
}

}  // namespace lumvar::app
