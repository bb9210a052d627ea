// A command's way: read from standard input, parsed, and run on the main queue, which runs every other
// piece of work in turn too.
#include "app/command_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "app/command.h"
#include "app/main_queue.h"

namespace lumvar::app {
namespace {

using namespace std::chrono_literals;
using Clock = MainQueue::Clock;

// The word upper-cased by full Unicode rules and split from its argument at the first U+0020 only;
// blanks (Zs and tab) trimmed around the line, the word and the argument; bytes that are not UTF-8
// become U+FFFD; a blank line is no command. Each case: word|argument|line, or "none".
TEST(ParseCommand, EveryShapeOfLine) {
    const auto parsed = [](std::string_view raw) -> std::string {
        const auto command = parseCommand(raw, platformText());
        if (!command) return "none";
        return command->word + "|" + command->argument.value_or("(no argument)") + "|" + command->line;
    };
    for (const auto& [raw, expected] : std::vector<std::pair<std::string_view, std::string>>{
             {"  System \t", "SYSTEM|(no argument)|System"},
             {"\xc5\xbfystem", "SYSTEM|(no argument)|\xc5\xbfystem"},  // long s upper-cases to S
             {"l\xc4\xb1st", "LIST|(no argument)|l\xc4\xb1st"},        // dotless i upper-cases to I
             {"INPUT   AbC  ", "INPUT|AbC|INPUT   AbC"},
             {"input My Device", "INPUT|My Device|input My Device"},
             {"INPUT \xc2\xa0 mic\xe3\x80\x80", "INPUT|mic|INPUT \xc2\xa0 mic"},  // no-break, ideographic
             {"INPUT\tAbC", "INPUT\tABC|(no argument)|INPUT\tAbC"},               // a tab does not split
             {"INPUT\t mic", "INPUT|mic|INPUT\t mic"},  // blanks before the first space belong to neither
             {"INPUT m\xffic", "INPUT|m\xef\xbf\xbdic|INPUT m\xef\xbf\xbdic"},
             {"\rLIST", "\rLIST|(no argument)|\rLIST"},  // a carriage return is not blank
             {"", "none"},
             {" \t \xe2\x80\x83", "none"},
         })
        EXPECT_EQ(parsed(raw), expected) << raw;
}

std::vector<std::string> readAll(int fd) {
    std::vector<std::string> lines;
    readCommands(fd, platformText(), {[&](std::string line) { lines.push_back(std::move(line)); }, nullptr});
    return lines;
}

// A non-blocking standard input with nothing to read yet is waited on: commands that come after pauses
// are read, a signal that interrupts the wait changes nothing, and only the end of input ends reading.
// Any other read error (a directory: EISDIR; a closed descriptor: EBADF) ends it at once.
TEST(CommandReader, ANonBlockingInputIsWaitedOnUntilItsEndAndAReadErrorEndsIt) {
    struct sigaction action {};
    action.sa_handler = [](int) {};  // no SA_RESTART: the wait returns EINTR
    ::sigaction(SIGUSR1, &action, nullptr);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    std::atomic<bool> ended{false};
    std::vector<std::string> lines;
    std::thread reader([&] {
        lines = readAll(fds[0]);
        ended = true;
    });
    for (const std::string_view piece : {"LIST\nINP", "UT mic\n", "SYSTEM"}) {
        std::this_thread::sleep_for(50ms);
        pthread_kill(reader.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(10ms);
        ASSERT_EQ(::write(fds[1], piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(ended.load());
    ::close(fds[1]);
    reader.join();
    EXPECT_EQ(lines, (std::vector<std::string>{"LIST", "INPUT mic", "SYSTEM"}));
    const int directory = ::open("/", O_RDONLY | O_DIRECTORY);
    ::close(fds[0]);
    for (const int fd : {directory, fds[0]}) EXPECT_TRUE(readAll(fd).empty()) << fd;
    ::close(directory);
}

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

}  // namespace
}  // namespace lumvar::app
