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

namespace lumvar::app {
namespace {

using namespace std::chrono_literals;

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

}  // namespace
}  // namespace lumvar::app
