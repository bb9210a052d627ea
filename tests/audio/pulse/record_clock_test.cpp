#include "audio/pulse/record_clock.h"

#include <gtest/gtest.h>

namespace lumvar::audio::pulse {
namespace {

TEST(RecordClock, PlacesFramesFromTheTruestRecentReportAndShortensLongHoles) {
    // 48 kHz stereo float: 8 bytes a frame. A report that arrived at 10 s after 1 ms on its way.
    TimingReport report{
        .arrivedNanos = 10'000'000'000, .transportUsec = 1000, .writeIndexBytes = 38400, .sourceUsec = 2000};
    const Reference fromSource = referenceOf(report, 8);
    EXPECT_EQ(fromSource.frame, 4800);
    EXPECT_EQ(fromSource.capturedNanos, 9'997'000'000);  // its newest frame entered 2 ms before it was taken
    report.sinkUsec = 5000;
    EXPECT_EQ(referenceOf(report, 8).capturedNanos, 10'002'000'000);  // from a monitor: played 5 ms later
    EXPECT_EQ(capturedNanos(4800 + 48000, fromSource, 48000, 0, 480), 10'997'000'000);
    EXPECT_EQ(capturedNanos(4800 - 480, fromSource, 48000, 0, 480), 9'987'000'000);
    EXPECT_EQ(capturedNanos(0, std::nullopt, 48000, 5'000'000'000, 480), 4'990'000'000);  // no report yet
    EXPECT_EQ(holeFramesToDeliver(100, 0, 48000), 100u);
    EXPECT_EQ(holeFramesToDeliver(10'000'000, 100'000'000, 48000), 7200u);  // 100 ms since, and 50 ms more
    // Reports of no latency err by up to a cycle either way: the median.
    ReferenceFilter filter(48000);
    for (const std::int64_t late : {3, -2, 0, 1, 40})
        filter.add({4800, 100'000'000 + late * 1'000'000}, false);  // frame 4800: 100 ms in, give or take
    EXPECT_EQ(filter.offset(*filter.best()), 1'000'000);
    // Reports of a latency from a sink that renders in blocks are late by up to a block: the earliest of
    // the recent ones, until it is older than the window, so that a real rise of the latency is followed.
    ReferenceFilter blocks(48000);
    for (std::int64_t k = 0; k < 6; ++k) blocks.add({4800 * k, 100'000'000 * k + (k % 2) * 5'000'000}, true);
    EXPECT_EQ(blocks.offset(*blocks.best()), 0);
    for (std::size_t k = 0; k < ReferenceFilter::kReports; ++k) blocks.add({48000, 1'003'000'000}, true);
    EXPECT_EQ(blocks.offset(*blocks.best()), 3'000'000);
}

}  // namespace
}  // namespace lumvar::audio::pulse
