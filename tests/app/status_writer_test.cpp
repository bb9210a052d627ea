#include "app/status_writer.h"

#include <gtest/gtest.h>

#include <sstream>

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

// Past the bound, the lines that name a source are kept as segment lines are, so that every segment line
// a parent reads is named by the last source line before it; merges never move one past another.
TEST(StatusWriter, SourceLinesAreKeptWhereTheyNameTheSegmentsAfterThem) {
    MemorySink err;
    StatusWriter status(err, 10);
    const std::vector<std::string> sources = {"  > system tap started\n", "  > input capture started: u\n",
                                              "  > call capture started: u\n"};
    int calls = 0;
    for (int i = 0; i < 200; ++i) {
        status.write(std::string_view("  ! default output changed - rebuilding\n"));  // dropped: no room
        if (i % 7 == 0) status.write(sources[(i + 1) % 3]);  // a start that failed before any frame
        status.write(sources[i % 3]);
        status.writeSegmentLine("  segment: frame=" + std::to_string(100 * i) + "\n", 100 * i, i % 5 == 4,
                                [&] { ++calls; });
        status.endItem();
    }
    status.pump();
    std::istringstream lines(err.text());
    std::string line, named;
    int segments = 0, merged = 0;
    while (std::getline(lines, line)) {
        line += "\n";
        if (line.starts_with("  > ")) named = line;
        if (line.starts_with("  ! segment lines merged")) ++merged;
        if (!line.starts_with("  segment: frame=")) continue;
        ++segments;
        EXPECT_EQ(named, sources[std::stoi(line.substr(17)) / 100 % 3]) << line;
    }
    EXPECT_LE(segments, 66);
    EXPECT_GT(merged, 0);
    EXPECT_EQ(calls, 200);  // every start announced, merged or not
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
