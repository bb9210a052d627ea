#include "app/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <thread>

#include "app/output_writer.h"
#include "audio/audio_properties.h"
#include "support/app_fixture.h"

namespace lumvar::testing {

using namespace std::chrono_literals;
using app::MainQueue;
using app::Process;
using Op = ScriptedAudio::Op;

struct ProcessTest : MachineFixture {
    MainQueue::Clock::time_point now{};
    MainQueue queue{[this] { return now; }};
    std::optional<Process> process;
    void SetUp() override {
        MachineFixture::SetUp();
        process.emplace(Process::Deps{hw, out, err, platformText(), sleeper, uuids, parent, queue, {}});
    }
    // Every test ends as the process does, on a signal, with nothing left behind.
    void TearDown() override {
        process->requestTermination(SIGTERM);
        queue.runPending();
        EXPECT_EQ(queue.stopStatus(), 0);
        expectNothingLeaked();
    }
    void command(std::string_view line) { process->post(*app::parseCommand(line, platformText())); }
    void advance(MainQueue::Clock::duration by) {
        now += by;
        queue.runPending();
    }
    std::size_t lines() const {
        const std::string text = err.text();
        return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    }
};

TEST_F(ProcessTest, StartsInItsFixedOrderAndTicksTwoSecondsLater) {
    std::vector<std::string> events;
    ASSERT_TRUE(process->start({[&] { events.push_back("reader after: " + err.chunks().back()); },
                                [&] { events.push_back("signals"); }}));
    const std::string banner = "  > streaming (system). commands: SYSTEM | INPUT <uid> | LIST\n";
    EXPECT_EQ(err.text(),
              buildLines() +
                  "@DEVICES [{\"uid\":\"mic\",\"name\":\"Desk Mic\",\"ch\":2,\"default\":true}]\n" + banner);
    EXPECT_EQ(events, (std::vector<std::string>{"reader after: " + banner, "signals"}));
    EXPECT_EQ(process->controller().zeroThreshold(), 23'040'000);
    parent.gone = true;
    advance(1999ms);
    EXPECT_EQ(queue.stopStatus(), std::nullopt);
    advance(1ms);
    EXPECT_EQ(queue.stopStatus(), 0);
}

TEST_F(ProcessTest, AFailedFirstBuildStopsStartUp) {
    hw.inject({Op::CreateAggregateDevice, {}, {}, -3});
    bool started = false;
    EXPECT_FALSE(process->start({[&] { started = true; }, nullptr}));
    EXPECT_EQ(err.chunks().back(), "initial tap build failed\n");
    EXPECT_EQ(err.text().find("@DEVICES"), std::string::npos);
    EXPECT_FALSE(started);
}

TEST_F(ProcessTest, OnlyABrokenPipeEndsTheProcessOnceAheadOfWhatIsQueued) {
    ASSERT_TRUE(process->start({}));
    process->outputFailed(EAGAIN);  // not a reader that went away
    queue.runPending();
    EXPECT_EQ(queue.stopStatus(), std::nullopt);
    err.clear();
    command("LIST");
    process->outputFailed(EPIPE);
    process->outputFailed(EPIPE);
    queue.runPending();
    EXPECT_EQ(queue.stopStatus(), 0);
    EXPECT_EQ(err.text(), "");  // termination ran first and writes nothing
}

TEST_F(ProcessTest, TheAudioThreadsNoticesReachTheLogOnlyThroughTheMainQueue) {
    ASSERT_TRUE(process->start({}));
    err.clear();
    MemorySink stdoutPipe;
    app::OutputWriter writer(out, stdoutPipe, [this] { process->outputNotice(); });
    Buffers chunk({std::vector<float>(40000, 0.25f)});
    hw.deliver(hw.aggregateIDs().at(0), chunk.list());
    hw.deliver(hw.aggregateIDs().at(0),
               chunk.list());  // 80 000 samples, a ring of 65 536: the second goes whole
    writer.pump();
    EXPECT_EQ(err.text(), "");  // nothing written on the audio thread, nor on the writer's
    queue.runPending();
    EXPECT_EQ(err.text(),
              "  IOProc#1: abl.count=1 buf0.ch=2 bytes=160000 frames=20000\n    buf[0] ch=2 bytes=160000\n"
              "  ! output backlog: dropped 40000 samples - parent not reading\n");
    EXPECT_EQ(stdoutPipe.text().size(), 40000u * sizeof(float));
    writer.pump();
    queue.runPending();
    EXPECT_EQ(lines(), 3u);  // one line per episode
}

TEST_F(ProcessTest, AnOverlongLineIsReportedAndAFloodHoldsTheReaderBack) {
    ASSERT_TRUE(process->start({}));
    err.clear();
    process->reportOverlong(65537);
    queue.runPending();
    EXPECT_EQ(err.text(), "  x command too long (65537 bytes) - ignored\n");
    std::atomic<int> posted{0};
    std::thread reader([&] {
        for (int i = 0; i < 1500; ++i, ++posted) command("nop");
    });
    while (posted < static_cast<int>(Process::kMaxQueuedCommands)) std::this_thread::yield();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(posted, static_cast<int>(Process::kMaxQueuedCommands));  // held back, not queued
    while (posted < 1500) queue.runPending();
    reader.join();
    queue.runPending();
    queue.runPending();
    EXPECT_EQ(lines(), 1u + 1500u);  // every command kept
}

TEST_F(ProcessTest, ABurstOfNotificationsIsOneWorkItemAfterTheWorkInProgress) {
    ASSERT_TRUE(process->start({}));
    hw.setDefaultOutput(addOutput(2, 48000.0, "headphones"));
    err.clear();
    for (int i = 0; i < 5; ++i)
        hw.fire(audio::kAudioObjectSystemObject, audio::kAudioHardwarePropertyDefaultOutputDevice);
    hw.fire(audio::kAudioObjectSystemObject, audio::kAudioHardwarePropertyDevices);
    command("LIST");
    advance(50ms);
    const std::string listed = err.text();
    EXPECT_EQ(listed.rfind("@DEVICES ", 0), 0u);  // the list, and nothing else yet
    advance(50ms);
    const std::string after = err.text().substr(listed.size());
    EXPECT_EQ(after.rfind("  ! default output changed - rebuilding\n", 0), 0u) << after;
    EXPECT_EQ(after.find("default output changed", 5), std::string::npos);  // once for the whole burst
}

TEST_F(ProcessTest, APlatformWithoutListenersRunsAsBefore) {
    hw.listenersSupported = false;
    ASSERT_TRUE(process->start({}));
    EXPECT_EQ(hw.liveListeners(), 0);
    command("INPUT mic");
    command("SYSTEM");
    queue.runPending();
    EXPECT_NE(err.text().find("  > system tap started\n"), std::string::npos);
}

}  // namespace lumvar::testing
