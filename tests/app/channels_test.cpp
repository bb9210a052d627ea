// Commands read and parsed, the main queue, and the threads that write standard output and standard error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <future>
#include <numeric>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "app/command.h"
#include "app/command_reader.h"
#include "app/main_queue.h"
#include "app/output_writer.h"
#include "app/process.h"
#include "app/status_writer.h"
#include "common/fd_sink.h"
#include "support/audio_fixture.h"

namespace lumvar::testing {
namespace {

using Clock = std::chrono::steady_clock;

// Full Unicode upper-casing; only U+0020 splits; blanks are Zs and tab. Each case: word|argument|line.
TEST(ParseCommand, EveryShapeOfLine) {
    const auto parsed = [](std::string_view raw) -> std::string {
        const auto command = app::parseCommand(raw, platformText());
        if (!command) return "none";
        return command->word + "|" + command->argument.value_or("(no argument)") + "|" + command->line;
    };
    for (const auto& [raw, expected] : std::vector<std::pair<std::string_view, std::string>>{
             {"  System \t", "SYSTEM|(no argument)|System"},
             {"\xc5\xbfystem", "SYSTEM|(no argument)|\xc5\xbfystem"},  // long s upper-cases to S
             {"l\xc4\xb1st", "LIST|(no argument)|l\xc4\xb1st"},        // dotless i upper-cases to I
             {"INPUT   AbC  ", "INPUT|AbC|INPUT   AbC"},
             {"input My Device", "INPUT|My Device|input My Device"},
             {"INPUT \xc2\xa0 mic\xe3\x80\x80", "INPUT|mic|INPUT \xc2\xa0 mic"},  // no-break, ideographic
             {"INPUT\tAbC", "INPUT\tABC|(no argument)|INPUT\tAbC"},               // a tab does not split
             {"INPUT\t mic", "INPUT|mic|INPUT\t mic"},  // blanks before the first space belong to neither
             {"INPUT m\xffic", "INPUT|m\xef\xbf\xbdic|INPUT m\xef\xbf\xbdic"},
             {"\rLIST", "\rLIST|(no argument)|\rLIST"},  // a carriage return is not blank
             {"", "none"},
             {" \t \xe2\x80\x83", "none"},
         })
        EXPECT_EQ(parsed(raw), expected) << raw;
}

// Nothing to read yet, or a signal in the wait, is no end; any other read error (EISDIR, EBADF) is.
TEST(CommandReader, ANonBlockingInputIsWaitedOnUntilItsEndAndAReadErrorEndsIt) {
    const auto readAll = [](int fd) {
        std::vector<std::string> lines;
        app::readCommands(fd, platformText(), {[&](std::string line) { lines.push_back(line); }, nullptr});
        return lines;
    };
    struct sigaction action {};
    action.sa_handler = [](int) {};  // no SA_RESTART: the wait returns EINTR
    ::sigaction(SIGUSR1, &action, nullptr);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    std::atomic<bool> ended{false};
    std::vector<std::string> lines;
    std::thread reader([&] {
        lines = readAll(fds[0]);
        ended = true;
    });
    for (const std::string_view piece : {"LIST\nINP", "UT mic\n", "SYSTEM"}) {
        std::this_thread::sleep_for(50ms);
        pthread_kill(reader.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(10ms);
        ASSERT_EQ(::write(fds[1], piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(ended.load());
    ::close(fds[1]);
    reader.join();
    EXPECT_EQ(lines, (std::vector<std::string>{"LIST", "INPUT mic", "SYSTEM"}));
    const int directory = ::open("/", O_RDONLY | O_DIRECTORY);
    ::close(fds[0]);
    for (const int fd : {directory, fds[0]}) EXPECT_TRUE(readAll(fd).empty()) << fd;
    ::close(directory);
}

// What an item posts waits for the next round. Served late at 4.9 s, the timer's next deadline stays at 6 s;
// 8, 10 and 12 s, missed while the queue was busy, make one tick.
TEST(MainQueue, RunsItemsInOrderTerminationFirstDelayedOnesWhenDueAndTicksOnItsGrid) {
    Clock::time_point now{};
    app::MainQueue queue([&] { return now; });
    std::vector<int> order;
    int ticks = 0;
    queue.startTimer(2s, [&] { ++ticks; });
    queue.post([&] { order.push_back(1); });
    queue.postAfter(100ms, [&] { order.push_back(9); });
    queue.post([&] {
        order.push_back(2);
        queue.post([&] { order.push_back(4); });
    });
    queue.postFirst([&] { order.push_back(0); });
    // When, the items that run then, and the ticks so far.
    const std::vector<std::tuple<Clock::duration, std::size_t, int>> steps = {
        {0ms, 3, 0},    {99ms, 1, 0}, {100ms, 1, 0}, {1999ms, 0, 0},  {2s, 1, 1},
        {4900ms, 1, 2}, {6s, 1, 3},   {13s, 1, 4},   {13999ms, 0, 4}, {14s, 1, 5}};
    for (const auto& [at, ran, ticked] : steps) {
        now = Clock::time_point{} + at;
        EXPECT_EQ(queue.runPending(), ran) << at.count();
        EXPECT_EQ(ticks, ticked) << at.count();
    }
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 4, 9}));
}

TEST(MainQueue, RunServesOtherThreadsAndItsTimersUntilStopped) {
    app::MainQueue queue;
    std::vector<int> seen, posted(100);
    std::iota(posted.begin(), posted.end(), 0);
    int ticks = 0;
    std::thread poster([&] {
        for (const int i : posted) queue.post([&seen, i] { seen.push_back(i); });
    });
    queue.startTimer(5ms, [&] {
        if (++ticks == 3) queue.postAfter(5ms, [&] { queue.stop(7); });
    });
    EXPECT_EQ(queue.run(), 7);
    poster.join();
    EXPECT_EQ(seen, posted);
}

TEST(OutputWriter, AfterAFailedWriteLetsSamplesGoAndTheEndReportsIt) {
    struct : ByteSink {
        int writes = 0;
        bool write(std::span<const std::byte>) override { return ++writes, false; }
    } failing;
    capture::SampleOutput output(64);
    app::OutputWriter writer(output, failing, nullptr);
    for (int i = 0; i < 2; ++i) {
        output.write(std::vector<float>(10, 1.0f));
        writer.pump();
    }
    EXPECT_EQ(failing.writes, 1);
    EXPECT_TRUE(output.empty());
    EXPECT_FALSE(writer.finish(Clock::now()));
}

// Silence goes out once the patient wait is over; a full non-blocking pipe is waited on, never given up.
TEST(OutputWriter, SilenceGoesOutAloneAndAFullNonBlockingPipeHoldsTheEndOnlyUntilItsDeadline) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    capture::SampleOutput output(1 << 16);
    FdSink sink(fds[1]);
    std::optional<app::OutputWriter> writer(std::in_place, output, sink, nullptr);
    writer->start();
    std::vector<char> got(1 << 16);
    const auto arrives = [&](std::size_t bytes) {  // that many and no more, each read within 2 s
        pollfd readable{fds[0], POLLIN, 0};
        for (ssize_t n = 0; bytes > 0; bytes -= static_cast<std::size_t>(n))
            if (::poll(&readable, 1, 2000) != 1 ||
                (n = ::read(fds[0], got.data(), std::min(got.size(), bytes))) <= 0)
                return false;
        return ::poll(&readable, 1, 0) == 0;
    };
    for (const bool silent : {false, true}) {  // the stream flows, then stops after a chunk of silence
        std::this_thread::sleep_for(20ms);     // the writer waits: for sound, then patiently once it flows
        ASSERT_TRUE(output.reserve(16));
        output.commit(16, silent);
        EXPECT_TRUE(arrives(16 * sizeof(float))) << silent;
    }
    ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    std::size_t filled = 0;
    for (ssize_t n = 0; (n = ::write(fds[1], got.data(), 4096)) > 0;) filled += static_cast<std::size_t>(n);
    ASSERT_EQ(errno, EAGAIN);
    output.write(std::vector<float>(4096, 0.5f));
    const auto before = Clock::now();
    EXPECT_FALSE(writer->finish(before + 300ms));
    EXPECT_GE(Clock::now() - before, 300ms);
    EXPECT_TRUE(arrives(filled + 4096 * sizeof(float)));
    writer.reset();
    ::close(fds[0]);
    ::close(fds[1]);
}

// A parent that does not read standard error for a while loses whole items, never what it cannot do without.
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

// Every segment line a parent reads must be named by the last source line before it.
TEST(StatusWriter, SourceLinesAreKeptWhereTheyNameTheSegmentsAfterThem) {
    MemorySink err;
    app::StatusWriter status(err, 10);
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

struct UnreadPipe final : ByteSink {  // its first write blocks until the parent reads at last
    std::promise<void> reading;
    std::shared_future<void> read = reading.get_future().share();
    MemorySink record;
    bool write(std::span<const std::byte> bytes) override { return read.wait(), record.write(bytes); }
};

struct CountingSink final : ByteSink {
    std::atomic<std::uint64_t> bytes{0};
    bool write(std::span<const std::byte> written) override { return bytes += written.size(), true; }
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
            for (const auto until = Clock::now() + 5s; stdout.bytes < (frames + kChunk) * 8;) {
                queue.runPending();
                ASSERT_LT(Clock::now(), until) << "the audio waits at frame " << frames;
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
    ASSERT_TRUE(err.finish(Clock::now() + 5s));            // the end waits for the thread's writes
    for (const std::string& chunk : pipe.record.chunks())  // each line in one write of its own
        EXPECT_TRUE(chunk.ends_with('\n') && std::ranges::count(chunk, '\n') == 1) << chunk;
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
