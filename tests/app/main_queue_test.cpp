#include "app/main_queue.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace lumvar::app {

using namespace std::chrono_literals;
using Clock = MainQueue::Clock;

TEST(MainQueue, RunsItemsInOrderWithTerminationFirst) {
    MainQueue queue;
    std::vector<int> order;
    queue.post([&] { order.push_back(1); });
    queue.post([&] {
        order.push_back(2);
        queue.post([&] { order.push_back(4); });  // posted while running: waits for the next round
    });
    queue.postFirst([&] { order.push_back(0); });
    EXPECT_EQ(queue.runPending(), 3u);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    queue.post([&] { order.push_back(5); });
    EXPECT_EQ(queue.runPending(), 2u);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 4, 5}));
}

TEST(MainQueue, TimerKeepsItsGridAndCoalescesMissedDeadlines) {
    Clock::time_point now{};
    MainQueue queue([&] { return now; });
    int ticks = 0;
    queue.startTimer(2s, [&] { ++ticks; });

    now += 1999ms;
    queue.runPending();
    EXPECT_EQ(ticks, 0);
    now += 1ms;
    queue.runPending();
    EXPECT_EQ(ticks, 1);
    queue.runPending();
    EXPECT_EQ(ticks, 1);

    now += 2900ms;  // served late, at 4.9 s: the next deadline stays at 6 s, not 6.9 s
    queue.runPending();
    EXPECT_EQ(ticks, 2);
    now = Clock::time_point{} + 6s;
    queue.runPending();
    EXPECT_EQ(ticks, 3);

    now = Clock::time_point{} + 13s;  // 8, 10 and 12 passed while busy: one tick, then 14
    queue.runPending();
    EXPECT_EQ(ticks, 4);
    now = Clock::time_point{} + 13999ms;
    queue.runPending();
    EXPECT_EQ(ticks, 4);
    now = Clock::time_point{} + 14s;
    queue.runPending();
    EXPECT_EQ(ticks, 5);
}

TEST(MainQueue, RunServesPostsFromOtherThreadsUntilStopped) {
    MainQueue queue;
    std::vector<int> seen;
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i) queue.post([&seen, i] { seen.push_back(i); });
        queue.post([&] { queue.stop(7); });
        queue.post([&] { seen.push_back(-1); });  // never runs
    });
    EXPECT_EQ(queue.run(), 7);
    poster.join();
    ASSERT_EQ(seen.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(i)], i);
}

TEST(MainQueue, RunWakesForTheTimer) {
    MainQueue queue;
    int ticks = 0;
    queue.startTimer(5ms, [&] {
        if (++ticks == 3) queue.stop(0);
    });
    EXPECT_EQ(queue.run(), 0);
    EXPECT_EQ(ticks, 3);
}

}  // namespace lumvar::app
