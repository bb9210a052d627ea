#include "app/output_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <thread>

#include "common/fd_sink.h"

namespace lumvar::app {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// After a failed write the samples are let go unwritten, and the end says that not everything went out.
TEST(OutputWriter, AfterAFailedWriteLetsSamplesGoAndTheEndReportsIt) {
    struct : ByteSink {
        int writes = 0;
        bool write(std::span<const std::byte>) override { return ++writes, false; }
    } failing;
    capture::SampleOutput output(64);
    OutputWriter writer(output, failing, nullptr);
    for (int i = 0; i < 2; ++i) {
        output.write(std::vector<float>(10, 1.0f));
        writer.pump();
    }
    EXPECT_EQ(failing.writes, 1);
    EXPECT_TRUE(output.empty());
    EXPECT_FALSE(writer.finish(Clock::now()));
}

// The writer's thread on a pipe: a chunk of silence that no chunk follows still goes out once the patient
// wait is over; a non-blocking pipe that is full is waited on, never given up, the end waiting for it only
// until its deadline, and the samples go out once the reader is back.
TEST(OutputWriter, SilenceGoesOutAloneAndAFullNonBlockingPipeHoldsTheEndOnlyUntilItsDeadline) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    capture::SampleOutput output(1 << 16);
    FdSink sink(fds[1]);
    std::optional<OutputWriter> writer(std::in_place, output, sink, nullptr);
    writer->start();
    std::vector<char> got(1 << 16);
    const auto arrives = [&](std::size_t bytes) {  // that many and no more, each read within 2 s
        pollfd readable{fds[0], POLLIN, 0};
        for (ssize_t n = 0; bytes > 0; bytes -= static_cast<std::size_t>(n))
            if (::poll(&readable, 1, 2000) != 1 ||
                (n = ::read(fds[0], got.data(), std::min(got.size(), bytes))) <= 0)
                return false;
        return ::poll(&readable, 1, 0) == 0;
    };
    for (const bool silent : {false, true}) {  // the stream flows, then stops after a chunk of silence
        std::this_thread::sleep_for(20ms);     // the writer waits: for sound, then patiently once it flows
        ASSERT_TRUE(output.reserve(16));
        output.commit(16, silent);
        EXPECT_TRUE(arrives(16 * sizeof(float))) << silent;
    }
    ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    std::size_t filled = 0;
    for (ssize_t n = 0; (n = ::write(fds[1], got.data(), 4096)) > 0;) filled += static_cast<std::size_t>(n);
    ASSERT_EQ(errno, EAGAIN);
    output.write(std::vector<float>(4096, 0.5f));
    const auto before = Clock::now();
    EXPECT_FALSE(writer->finish(before + 300ms));
    EXPECT_GE(Clock::now() - before, 300ms);
    EXPECT_TRUE(arrives(filled + 4096 * sizeof(float)));
    writer.reset();
    ::close(fds[0]);
    ::close(fds[1]);
}

}  // namespace
}  // namespace lumvar::app
