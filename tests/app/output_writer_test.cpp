#include "app/output_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "common/fd_sink.h"

namespace lumvar::app {
namespace {

struct FailingSink final : ByteSink {
    int writes = 0;
    bool write(std::span<const std::byte>) override { return ++writes, false; }
};

TEST(OutputWriter, AfterAFailedWriteLetsSamplesGoUnwrittenAndWaitsForNothingAtTheEnd) {
    capture::SampleOutput output(64);
    FailingSink failing;
    OutputWriter writer(output, failing, nullptr);
    for (int i = 0; i < 2; ++i) {
        output.write(std::vector<float>(10, 1.0f));
        writer.pump();
    }
    EXPECT_EQ(failing.writes, 1);
    EXPECT_TRUE(output.empty());
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(writer.finish(before + std::chrono::seconds(5)));
    EXPECT_LT(std::chrono::steady_clock::now() - before,
              std::chrono::seconds(5));  // returned, did not time out
}

// A non-blocking standard output that is full is waited on, never given up; the end waits for it only
// until its deadline, and the samples still go out once the reader is back.
TEST(OutputWriter, AFullNonBlockingOutputHoldsTheEndOnlyUntilItsDeadline) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    const int pipeBytes = ::fcntl(fds[1], F_GETPIPE_SZ);
    capture::SampleOutput output(1 << 16);
    FdSink sink(fds[1]);
    std::optional<OutputWriter> writer(std::in_place, output, sink, nullptr);
    writer->start();
    const std::vector<float> samples(static_cast<std::size_t>(pipeBytes) / sizeof(float) + 1024, 0.5f);
    output.write(samples);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(writer->finish(before + std::chrono::milliseconds(300)));
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(300));
    EXPECT_FALSE(sink.failed());
    std::size_t got = 0;
    std::vector<char> chunk(65536);
    while (got < samples.size() * sizeof(float)) {
        const ssize_t n = ::read(fds[0], chunk.data(), chunk.size());
        ASSERT_GT(n, 0);
        got += static_cast<std::size_t>(n);
    }
    writer.reset();  // the writer went on once there was room, so it stops and joins
    EXPECT_EQ(got, samples.size() * sizeof(float));
    EXPECT_TRUE(output.empty());
    ::close(fds[0]);
    ::close(fds[1]);
}

}  // namespace
}  // namespace lumvar::app
