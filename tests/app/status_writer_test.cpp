// Standard error's writer, and a parent that reads standard output and never standard error: the audio
// never waits on it, and the segment lines it has not read are bounded, merged rather than lost silently.
#include "app/status_writer.h"

#include <gtest/gtest.h>

#include <csignal>
#include <future>
#include <regex>
#include <set>

#include "app/output_writer.h"
#include "app/process.h"
#include "support/audio_fixture.h"

namespace lumvar::testing {
namespace {

using namespace std::chrono_literals;

// A parent that does not read standard error for a while: the queue fills and whole items go, but never
// what a parent cannot do without; once caught up, one line says how many went.
TEST(StatusWriter, AFullQueueDropsWholeItemsKeepsWhatAParentNeedsAndSaysHowManyWentOnceCaughtUp) {
    MemorySink err;
    app::StatusWriter status(err, 100);
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
    app::StatusWriter status(err);
    status.start();
    std::vector<std::string> lines;
    for (int i = 0; i < 100; ++i) {
        status.write(lines.emplace_back("  line " + std::to_string(i) + "\n"));
        status.endItem();
    }
    EXPECT_TRUE(status.finish(std::chrono::steady_clock::now() + std::chrono::seconds(5)));
    EXPECT_EQ(err.chunks(), lines);
}

// Standard error whose first write blocks until the parent reads at last.
struct UnreadPipe final : ByteSink {
    std::promise<void> reading;
    std::shared_future<void> read = reading.get_future().share();
    MemorySink record;
    bool write(std::span<const std::byte> bytes) override { return read.wait(), record.write(bytes); }
    using ByteSink::write;
};

struct CountingSink final : ByteSink {
    std::atomic<std::uint64_t> bytes{0};
    bool write(std::span<const std::byte> written) override { return bytes += written.size(), true; }
    using ByteSink::write;
};

TEST_F(MachineFixture, AnUnreadStandardErrorNeverHoldsTheAudioAndItsSegmentLinesAreMergedNotLost) {
    UnreadPipe pipe;
    app::StatusWriter err(pipe);
    err.start();
    CountingSink stdout;
    app::MainQueue queue;
    queue.setAfterEachItem([&] { err.endItem(); });
    app::Process process({hw, out, err, platformText(), sleeper, uuids, parent, queue, {}});
    app::OutputWriter writer(
        out, stdout, [&] { process.outputNotice(); }, &err);
    writer.start();
    ASSERT_TRUE(process.start({}));
    err.endItem();
    while (err.writeUnderWay() == 0) std::this_thread::yield();  // the first line's write never returns

    constexpr std::uint64_t kChunk = 4800;
    const Buffers loud({std::vector<float>(2 * kChunk, 0.25f)});
    std::uint64_t frames = 0;
    std::set<std::uint64_t>
        unlined;  // every start but the anchors, by its first frame, until its line is seen
    const auto deliver = [&](std::uint64_t count) {
        for (std::uint64_t done = 0; done < count; done += kChunk, frames += kChunk) {
            ASSERT_EQ(hw.deliver(hw.aggregateIDs().back(), loud.list()), 1);
            // A parent that reads standard output: the next chunk comes once this one is out.
            for (const auto until = std::chrono::steady_clock::now() + 5s;
                 stdout.bytes < frames * 8 + kChunk * 8;) {
                queue.runPending();
                ASSERT_LT(std::chrono::steady_clock::now(), until) << "the audio waits at frame " << frames;
                std::this_thread::yield();
            }
        }
    };
    for (int round = 0; round < 100; ++round) {
        unlined.insert(frames);
        if (round == 50) {  // the rate of the running source changes
            hw.setNominalRate(hw.aggregateIDs().back(), 44100.0);
            process.controller().handleDeviceEvents({.rate = true});
        } else if (round > 0) {
            process.post("SYSTEM");
            queue.runPending();
        }
        deliver(capture::SegmentTracker::kAnchorFrames + kChunk);  // an anchor in each segment
    }
    EXPECT_EQ(stdout.bytes, frames * 8);      // every sample
    EXPECT_EQ(writer.lineWaitsRunOut(), 1u);  // the first wait for a line is the last

    while (out.nextToAnnounce()) queue.runPending();  // the last start's line is queued before the end
    pipe.reading.set_value();
    process.requestTermination(SIGTERM);
    queue.runPending();
    ASSERT_TRUE(err.finish(std::chrono::steady_clock::now() + 5s));
    const std::string text = pipe.record.text();
    EXPECT_EQ(text.find("output backlog"), std::string::npos);
    // Every start has its line, or lies among the frames of a merged line, which comes right before the
    // line of the frame it names last.
    std::set<std::uint64_t> lined;
    static const std::regex segment(
        R"((merged: \d+ starts between frames (\d+) and (\d+)\n)?  segment: frame=(\d+) )");
    for (std::sregex_iterator it(text.begin(), text.end(), segment), end; it != end; ++it) {
        const std::uint64_t frame = std::stoull((*it)[4]);
        lined.insert(frame);
        unlined.erase(frame);
        if (!(*it)[1].matched) continue;
        EXPECT_EQ(std::stoull((*it)[3]), frame);
        std::erase_if(unlined,
                      [&](std::uint64_t start) { return std::stoull((*it)[2]) <= start && start < frame; });
    }
    EXPECT_LE(lined.size(), app::StatusWriter::kMaxSegmentLines);  // what waits for the parent is bounded
    EXPECT_EQ(unlined, std::set<std::uint64_t>{});                 // the starts whose line is lost
    expectNothingLeaked();
}

}  // namespace
}  // namespace lumvar::testing
