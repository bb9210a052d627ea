#include "app/output_writer.h"

#include <gtest/gtest.h>

#include <cstring>

#include "common/memory_sink.h"

namespace lumvar::app {
namespace {

using namespace std::chrono_literals;

std::vector<float> floatsOf(const MemorySink& sink) {
    const std::string bytes = sink.text();
    std::vector<float> values(bytes.size() / sizeof(float));
    std::memcpy(values.data(), bytes.data(), values.size() * sizeof(float));
    return values;
}

struct FailingSink final : ByteSink {
    int writes = 0;
    bool write(std::span<const std::byte>) override {
        ++writes;
        return false;
    }
};

TEST(OutputWriter, WritesTheRingOutAndSaysOnceWhenADropEpisodeIsOver) {
    capture::SampleOutput output(8);
    MemorySink sink;
    int notices = 0;
    OutputWriter writer(output, sink, [&] { ++notices; });

    const std::vector<float> five{1, 2, 3, 4, 5};
    EXPECT_TRUE(output.write(five));
    EXPECT_FALSE(output.write(five));  // 3 free: dropped whole
    EXPECT_FALSE(output.write(five));
    writer.pump();
    EXPECT_EQ(floatsOf(sink), five);
    EXPECT_EQ(notices, 1);

    EXPECT_TRUE(output.write(five));  // wraps around the end of the storage
    writer.pump();
    writer.pump();
    EXPECT_EQ(notices, 1);  // not again until the main queue has taken the count
    EXPECT_EQ(output.acknowledge(), 10u);
    writer.pump();
    EXPECT_EQ(notices, 1);  // nothing new dropped
    EXPECT_EQ(floatsOf(sink), (std::vector<float>{1, 2, 3, 4, 5, 1, 2, 3, 4, 5}));
}

TEST(OutputWriter, FinishWaitsForTheThreadToWriteEverythingButNotForAFailedReader) {
    capture::SampleOutput output(1 << 16);
    MemorySink sink;
    OutputWriter writer(output, sink, nullptr);
    writer.start();
    std::vector<float> chunk(1000, 0.5f);
    for (int i = 0; i < 50; ++i) output.write(chunk);
    EXPECT_TRUE(writer.finish(std::chrono::steady_clock::now() + 5s));
    EXPECT_EQ(floatsOf(sink).size(), 50'000u);

    capture::SampleOutput stuck(64);
    FailingSink failing;
    OutputWriter broken(stuck, failing, nullptr);
    stuck.write(std::vector<float>(10, 1.0f));
    broken.pump();
    stuck.write(std::vector<float>(10, 1.0f));
    broken.pump();
    EXPECT_EQ(failing.writes, 1);  // after a failed write the samples are only let go
    EXPECT_TRUE(stuck.empty());
    EXPECT_FALSE(broken.finish(std::chrono::steady_clock::now() + 5s));
}

}  // namespace
}  // namespace lumvar::app
