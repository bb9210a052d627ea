#include "common/fd_sink.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <thread>
#include <unistd.h>

namespace lumvar {
namespace {

TEST(FdSink, DeliversAChunkLargerThanThePipeWholeAndReportsEveryFailure) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::string received;
    std::thread reader([&] {
        char buffer[65536];
        for (ssize_t got; (got = ::read(fds[0], buffer, sizeof buffer)) > 0;) received.append(buffer, std::size_t(got));
    });
    std::string chunk(1 << 20, '\0');  // sixteen times what the pipe holds: written in parts, in order
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 31);
    FdSink sink(fds[1]);
    std::vector<int> reports;
    sink.onFailure([&](int error) { reports.push_back(error); });
    EXPECT_TRUE(sink.write(chunk));
    EXPECT_TRUE(sink.write(std::string_view("tail")));
    ::close(fds[1]);
    reader.join();
    EXPECT_EQ(received, chunk + "tail");
    EXPECT_FALSE(sink.failed());

    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);  // the reader is gone
    const auto previous = std::signal(SIGPIPE, SIG_IGN);
    FdSink closed(fds[1]);
    closed.onFailure([&](int error) { reports.push_back(error); });
    EXPECT_FALSE(closed.write(std::string_view("samples")));
    EXPECT_FALSE(closed.write(std::string_view("more")));
    std::signal(SIGPIPE, previous);
    ::close(fds[1]);
    EXPECT_TRUE(closed.failed());
    EXPECT_EQ(reports, (std::vector<int>{EPIPE, EPIPE}));
}

}  // namespace
}  // namespace lumvar
