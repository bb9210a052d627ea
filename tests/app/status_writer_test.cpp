#include "app/status_writer.h"

#include <gtest/gtest.h>

#include "common/memory_sink.h"

namespace lumvar::app {
namespace {

// A parent that does not read standard error for a while: the queue fills and whole items go, but never
// what a parent cannot do without; once caught up, one line says how many went.
TEST(StatusWriter, AFullQueueDropsWholeItemsKeepsWhatAParentNeedsAndSaysHowManyWentOnceCaughtUp) {
    MemorySink err;
    StatusWriter status(err, 100);
    const auto item = [&](std::initializer_list<std::string_view> lines) {
        for (const std::string_view line : lines) status.write(std::string(line) + "\n");
        status.endItem();
    };
    item({"  ! default output changed - rebuilding", "  > tap rebuilt"});  // 56 bytes of 100: they fit
    item({"  ! default output changed - rebuilding", "  > tap rebuilt"});  // they do not
    item({"@DEVICES [1]"});   // past the bound only the newest list waits: this one goes
    std::size_t written = 0;  // what a segment's samples wait for: its line written, not merely queued
    status.write(std::string_view("@DEVICES [2]\n"));
    status.writeSegmentLine("  segment: frame=9 rate=48000.0 clock_ns=1\n", 9, false,
                            [&] { written = err.chunks().size(); });
    item({"unknown cmd: x"});
    EXPECT_EQ(err.text(), "");  // the main queue itself writes nothing
    status.pump();
    EXPECT_EQ(written, 4u);
    item({"  > system tap started"});
    status.pump();
    EXPECT_EQ(err.text(),
              "  ! default output changed - rebuilding\n  > tap rebuilt\n@DEVICES [2]\n"
              "  segment: frame=9 rate=48000.0 clock_ns=1\n"
              "  ! status backlog: dropped 4 lines - parent not reading stderr\n  > system tap started\n");
    EXPECT_EQ(status.droppedLines(), 0u);
}

TEST(StatusWriter, TheThreadWritesEachLineInOneWriteInOrderAndTheEndWaitsForIt) {
    MemorySink err;
    StatusWriter status(err);
    status.start();
    std::vector<std::string> lines;
    for (int i = 0; i < 100; ++i) {
        status.write(lines.emplace_back("  line " + std::to_string(i) + "\n"));
        status.endItem();
    }
    EXPECT_TRUE(status.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5)));
    EXPECT_EQ(err.chunks(), lines);
}

}  // namespace
}  // namespace lumvar::app
