#include "app/status_writer.h"

#include <gtest/gtest.h>

#include "common/memory_sink.h"

namespace lumvar::app {
namespace {

// A parent that does not read standard error for a while: the queue fills and whole items go.
TEST(StatusWriter, AFullQueueDropsWholeItemsKeepsWhatAParentNeedsAndSaysHowManyWentOnceCaughtUp) {
    MemorySink err;
    StatusWriter status(err, 100);
    const auto item = [&](std::initializer_list<std::string_view> lines) {
        for (const std::string_view line : lines) status.write(std::string(line) + "\n");
        status.endItem();
    };
    item({"  ! default output changed - rebuilding", "  > tap rebuilt"});  // 56 bytes of 100: they fit
    item({"  ! default output changed - rebuilding", "  > tap rebuilt"});  // they do not
    std::size_t written = 0;  // what a segment's samples wait for: its line written, not merely queued
    status.write(std::string_view("@DEVICES []\n"));
    status.writeSegmentLine("  segment: frame=9 rate=48000.0 clock_ns=1\n", 9, false,
                            [&] { written = err.chunks().size(); });
    status.write(std::string_view("unknown cmd: x\n"));
    status.endItem();
    EXPECT_EQ(err.text(), "");  // nothing written by the main queue itself
    EXPECT_EQ(status.droppedLines(), 3u);
    status.pump();
    EXPECT_EQ(written, 4u);
    item({"  > system tap started"});
    status.pump();
    EXPECT_EQ(err.chunks(), (std::vector<std::string>{
                                "  ! default output changed - rebuilding\n",
                                "  > tap rebuilt\n",
                                "@DEVICES []\n",
                                "  segment: frame=9 rate=48000.0 clock_ns=1\n",
                                "  ! status backlog: dropped 3 lines - parent not reading stderr\n",
                                "  > system tap started\n",
                            }));
    EXPECT_EQ(status.droppedLines(), 0u);
}

TEST(StatusWriter, TheThreadWritesWhatIsQueuedAndTheEndWaitsForIt) {
    MemorySink err;
    StatusWriter status(err);
    status.start();
    for (int i = 0; i < 100; ++i) {
        status.write("  line " + std::to_string(i) + "\n");
        status.endItem();
    }
    EXPECT_TRUE(status.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5)));
    ASSERT_EQ(err.chunks().size(), 100u);
    EXPECT_EQ(err.chunks()[99], "  line 99\n");
}

}  // namespace
}  // namespace lumvar::app
