#include "audio/pipewire/cycle_clock.h"

#include <gtest/gtest.h>

namespace lumvar::audio::pipewire {
namespace {

// A graph at 48 kHz: one tick is one of its frames, and tick 0 was at 1 s.
CycleReport at(std::uint64_t ticks, std::int64_t delay = 0, std::uint64_t buffered = 0) {
    const std::int64_t now = 1'000'000'000 + static_cast<std::int64_t>(ticks) * 1'000'000'000 / 48000;
    return {
        .now = now, .rateNum = 1, .rateDenom = 48000, .ticks = ticks, .delay = delay, .buffered = buffered};
}

TEST(CycleClock, PlacesEachBufferByTheGraphsReportAndCountsTheCyclesItSkipped) {
    struct Row {
        const char* what;
        std::vector<std::pair<CycleReport, std::uint32_t>> cycles;  // the last is checked
        std::uint64_t position;
        std::optional<std::uint64_t> captured;
        std::uint32_t streamRate = 48000;
    };
    const Row rows[] = {
        {"the first buffer: a quantum before the cycle", {{at(4800), 480}}, 0, 1'090'000'000},
        {"the device's delay and the converter's frames", {{at(4800, 96, 48), 480}}, 0, 1'087'000'000},
        {"the next cycle follows on", {{at(4800), 480}, {at(5280), 480}}, 480, 1'100'000'000},
        {"a little jitter is the same clock", {{at(4800), 480}, {at(5289), 480}}, 480, 1'100'187'500},
        {"a short first buffer is no skip", {{at(4800), 206}, {at(5280), 480}}, 206, 1'100'000'000},
        {"nor a quantum change", {{at(4800), 480}, {at(5280), 960}, {at(6240), 480}}, 1440, 1'120'000'000},
        {"two skipped cycles add their frames", {{at(4800), 480}, {at(6240), 480}}, 1440, 1'120'000'000},
        {"a 44.1 kHz stream counts its own", {{at(4800), 441}, {at(6240), 441}}, 1323, 1'120'000'000, 44100},
        {"no clock in the report: no time", {{{}, 480}, {{}, 480}}, 480, std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        CycleClock clock(row.streamRate);
        CycleStamp stamp;
        for (const auto& [report, frames] : row.cycles) stamp = clock.stamp(report, frames);
        EXPECT_EQ(stamp.position, row.position);
        EXPECT_EQ(stamp.capturedNanos, row.captured);
    }
}

}  // namespace
}  // namespace lumvar::audio::pipewire
