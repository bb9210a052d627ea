#include "app/output_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <optional>
#include <thread>

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

// Silence may wait for the next chunk; when none comes (the stream stopped), the writer still writes
// it once its patient wait is over.
TEST(OutputWriter, ASilentChunkThatNoChunkFollowsStillGoesOut) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    capture::SampleOutput output(1 << 12);
    FdSink sink(fds[1]);
    std::optional<OutputWriter> writer(std::in_place, output, sink, nullptr);
    writer->start();
    const auto chunk = [&output](float value) {
        const auto room = output.reserve(16);
        ASSERT_TRUE(room);
        std::fill(room->first.begin(), room->first.end(), value);
        output.commit(16, value == 0.0f);
    };
    std::vector<float> got(16);
    const auto arrives = [&] {
        pollfd readable{fds[0], POLLIN, 0};
        if (::poll(&readable, 1, 2000) != 1) return false;
        return ::read(fds[0], got.data(), got.size() * sizeof(float)) ==
               static_cast<ssize_t>(got.size() * sizeof(float));
    };
    chunk(0.5f);  // the stream flows: the writer now waits patiently
    ASSERT_TRUE(arrives());
    EXPECT_EQ(got[0], 0.5f);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    chunk(0.0f);
    ASSERT_TRUE(arrives());  // within the 2 s bound, not at the next chunk
    EXPECT_EQ(got[0], 0.0f);
    writer.reset();
    ::close(fds[0]);
    ::close(fds[1]);
}

}  // namespace
}  // namespace lumvar::app
