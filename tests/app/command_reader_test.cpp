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
    readCommands(fd, platformText(),
                 {[&](std::string line) { lines.push_back(std::move(line)); },
                  [&](std::size_t bytes) { lines.push_back("overlong " + std::to_string(bytes)); }});
    return lines;
}

// A non-blocking standard input with nothing to read yet is waited on: commands that come after
// pauses are read, a signal that interrupts the wait changes nothing, and only the end of input ends
// reading.
TEST(CommandReader, ANonBlockingInputIsWaitedOnUntilItsEnd) {
    struct sigaction action {};
    action.sa_handler = [](int) {};  // no SA_RESTART: the wait returns EINTR
    sigemptyset(&action.sa_mask);
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
    for (const char* piece : {"LIST\nINP", "UT mic\n", "SYSTEM"}) {
        std::this_thread::sleep_for(50ms);
        pthread_kill(reader.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(10ms);
        ASSERT_GT(::write(fds[1], piece, std::char_traits<char>::length(piece)), 0);
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(ended.load());
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);
    EXPECT_EQ(lines, (std::vector<std::string>{"LIST", "INPUT mic", "SYSTEM"}));
}

// Any other read error ends reading at once, as the end of input does.
TEST(CommandReader, AReadErrorEndsReading) {
    const int directory = ::open("/", O_RDONLY | O_DIRECTORY);  // read gives EISDIR
    ASSERT_GE(directory, 0);
    const int closed = ::dup(directory);
    ::close(closed);  // read gives EBADF
    for (const int fd : {directory, closed}) EXPECT_TRUE(readAll(fd).empty());
    ::close(directory);
}

}  // namespace
}  // namespace lumvar::app
