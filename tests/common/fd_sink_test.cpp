#include "common/fd_sink.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <thread>
#include <unistd.h>

namespace lumvar {
namespace {

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(::pipe(fds), 0); }
    ~Pipe() {
        for (int fd : fds)
            if (fd >= 0) ::close(fd);
    }
    void closeEnd(int which) {
        ::close(fds[which]);
        fds[which] = -1;
    }
};

std::string drain(int fd) {
    std::string all;
    char buffer[65536];
    ssize_t got = 0;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0) all.append(buffer, static_cast<std::size_t>(got));
    return all;
}

TEST(FdSink, DeliversAChunkLargerThanThePipeWhole) {
    Pipe pipe;
    std::string received;
    std::thread reader([&] { received = drain(pipe.fds[0]); });

    std::string chunk(1 << 20, '\0');
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 31);
    FdSink sink(pipe.fds[1]);
    EXPECT_TRUE(sink.write(chunk));
    EXPECT_TRUE(sink.write(std::string_view("tail")));
    pipe.closeEnd(1);
    reader.join();

    EXPECT_EQ(received, chunk + "tail");
    EXPECT_FALSE(sink.failed());
}

TEST(FdSink, ReportsEveryFailedWriteToItsOwner) {
    const auto previous = std::signal(SIGPIPE, SIG_IGN);
    Pipe pipe;
    pipe.closeEnd(0);

    FdSink sink(pipe.fds[1]);
    int reports = 0;
    int reported = 0;
    sink.onFailure([&](int error) {
        ++reports;
        reported = error;
    });
    EXPECT_FALSE(sink.write(std::string_view("samples")));
    EXPECT_FALSE(sink.write(std::string_view("more")));
    std::signal(SIGPIPE, previous);

    EXPECT_TRUE(sink.failed());
    EXPECT_EQ(reports, 2);
    EXPECT_EQ(reported, EPIPE);
}

}  // namespace
}  // namespace lumvar
