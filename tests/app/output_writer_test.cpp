#include "app/output_writer.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace lumvar::app
