// A parent that reads standard output and never standard error: the audio never waits on it, and the
// segment lines it has not read are bounded, merged rather than lost silently.
#include <gtest/gtest.h>

#include <condition_variable>
#include <csignal>
#include <iostream>
#include <regex>
#include <set>

#include "app/output_writer.h"
#include "app/process.h"
#include "audio/audio_properties.h"
#include "support/app_fixture.h"

namespace lumvar::testing {
namespace {

using namespace std::chrono_literals;

// Standard error whose first write blocks until the parent reads at last.
struct UnreadPipe final : ByteSink {
    std::mutex mutex;
    std::condition_variable opened;
    bool open = false;
    std::string text;
    bool write(std::span<const std::byte> bytes) override {
        std::unique_lock lock(mutex);
        opened.wait(lock, [this] { return open; });
        text.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return true;
    }
    using ByteSink::write;
    void read() {
        std::lock_guard guard(mutex);
        open = true;
        opened.notify_all();
    }
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
    std::vector<std::uint64_t> starts;  // every start but the anchors, by its first frame
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
        starts.push_back(frames);
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
    pipe.read();
    process.requestTermination(SIGTERM);
    queue.runPending();
    ASSERT_TRUE(err.finish(std::chrono::steady_clock::now() + 5s));
    const std::string text = pipe.text;
    EXPECT_EQ(text.find("output backlog"), std::string::npos);
    // Every start has its line, or lies among the frames of a merged line, which comes right before the
    // line of the frame it names last.
    std::set<std::uint64_t> lined;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> merged;
    static const std::regex segment(R"(  segment: frame=(\d+) )"),
        merge(R"(merged: \d+ starts between frames (\d+) and (\d+)\n  segment: frame=(\d+) )");
    for (std::sregex_iterator it(text.begin(), text.end(), segment), end; it != end; ++it)
        lined.insert(std::stoull((*it)[1]));
    for (std::sregex_iterator it(text.begin(), text.end(), merge), end; it != end; ++it) {
        EXPECT_EQ((*it)[2], (*it)[3]);
        merged.emplace_back(std::stoull((*it)[1]), std::stoull((*it)[2]));
    }
    EXPECT_LE(lined.size(), app::StatusWriter::kMaxSegmentLines);  // what waits for the parent is bounded
    std::cout << lined.size() << " segment lines, " << merged.size() << " merged lines for " << starts.size()
              << " starts and 100 anchors\n";
    for (const std::uint64_t start : starts)
        EXPECT_TRUE(
            lined.contains(start) ||
            std::ranges::any_of(
                merged, [start](const auto& range) { return range.first <= start && start < range.second; }))
            << "the start at frame " << start << " is lost";
    expectNothingLeaked();
}

}  // namespace
}  // namespace lumvar::testing
