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

namespace lumvar::app {
namespace {

using namespace std::chrono_literals;

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
