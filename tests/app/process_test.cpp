#include "app/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <iostream>
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
    std::vector<std::string> events;

    void SetUp() override {
        MachineFixture::SetUp();
        process.emplace(Process::Deps{hw, out, err, platformText(), sleeper, uuids, parent, queue, {}});
    }

    Process::Hooks recordingHooks() {
        return {[this] { events.push_back("reader after: " + err.chunks().back()); },
                [this] { events.push_back("signals"); }};
    }
    void advance(MainQueue::Clock::duration by) {
        now += by;
        queue.runPending();
    }
};

TEST_F(ProcessTest, StartsInItsFixedOrder) {
    ASSERT_TRUE(process->start(recordingHooks()));
    const std::string devices = "@DEVICES [{\"uid\":\"mic\",\"name\":\"Desk Mic\",\"ch\":2,\"default\":true}]\n";
    const std::string banner = "  > streaming (system). commands: SYSTEM | INPUT <uid> | LIST\n";
    EXPECT_EQ(err.text(), buildLines() + devices + banner);
    EXPECT_EQ(events, (std::vector<std::string>{"reader after: " + banner, "signals"}));
    EXPECT_EQ(process->controller().zeroThreshold(), 23'040'000);

    // The watchdog's first tick comes 2 s after start-up.
    parent.gone = true;
    advance(1999ms);
    EXPECT_EQ(queue.stopStatus(), std::nullopt);
    advance(1ms);
    EXPECT_EQ(queue.stopStatus(), 0);
    expectNothingLeaked();
}

TEST_F(ProcessTest, FailedFirstBuildStopsStartUp) {
    hw.inject({Op::CreateAggregateDevice, {}, {}, -3});
    EXPECT_FALSE(process->start(recordingHooks()));
    EXPECT_EQ(err.chunks().back(), "initial tap build failed\n");
    EXPECT_EQ(err.text().find("@DEVICES"), std::string::npos);
    EXPECT_TRUE(events.empty());
    expectNothingLeaked();
}

TEST_F(ProcessTest, ABrokenStandardOutputEndsTheProcessOnce) {
    ASSERT_TRUE(process->start({}));
    process->post(*app::parseCommand("LIST", platformText()));
    process->outputFailed(EAGAIN);  // not a reader that went away
    queue.runPending();
    EXPECT_EQ(queue.stopStatus(), std::nullopt);

    err.clear();
    process->outputFailed(EPIPE);
    process->outputFailed(EPIPE);
    process->post(*app::parseCommand("SYSTEM", platformText()));
    queue.runPending();
    EXPECT_EQ(queue.stopStatus(), 0);
    EXPECT_EQ(err.text(), "");  // termination ran first and writes nothing
    expectNothingLeaked();
}

TEST_F(ProcessTest, TheAudioThreadsNoticesReachTheLogOnlyThroughTheMainQueue) {
    ASSERT_TRUE(process->start({}));
    err.clear();
    MemorySink stdoutPipe;
    app::OutputWriter writer(out, stdoutPipe, [this] { process->outputNotice(); });
    const AudioObjectID aggregate = hw.aggregateIDs().at(0);
    Buffers chunk({std::vector<float>(40000, 0.25f)});
    hw.deliver(aggregate, chunk.list());
    hw.deliver(aggregate, chunk.list());  // 80 000 samples and a ring of 65 536: the second chunk goes whole
    EXPECT_EQ(err.text(), "");            // nothing written on the audio thread
    writer.pump();
    EXPECT_EQ(err.text(), "");
    queue.runPending();
    EXPECT_EQ(err.text(), "  IOProc#1: abl.count=1 buf0.ch=2 bytes=160000 frames=20000\n"
                          "    buf[0] ch=2 bytes=160000\n"
                          "  ! output backlog: dropped 40000 samples - parent not reading\n");
    EXPECT_EQ(stdoutPipe.text().size(), 40000u * sizeof(float));
    writer.pump();
    queue.runPending();
    const std::string once = err.text();
    EXPECT_EQ(std::count(once.begin(), once.end(), '\n'), 3);  // one line per episode
    process->requestTermination(SIGTERM);
    queue.runPending();
    EXPECT_EQ(queue.stopStatus(), 0);
    expectNothingLeaked();
}

TEST_F(ProcessTest, AnOverlongLineIsReportedAndAFloodHoldsTheReaderBack) {
    ASSERT_TRUE(process->start({}));
    err.clear();
    process->reportOverlong(65537);
    queue.runPending();
    EXPECT_EQ(err.text(), "  x command too long (65537 bytes) - ignored\n");

    std::atomic<int> posted{0};
    std::thread reader([&] {
        for (int i = 0; i < 1500; ++i) {
            process->post(*app::parseCommand("nop", platformText()));
            ++posted;
        }
    });
    while (posted < static_cast<int>(Process::kMaxQueuedCommands)) std::this_thread::yield();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(posted, static_cast<int>(Process::kMaxQueuedCommands));  // held back, not queued
    while (posted < 1500) queue.runPending();
    reader.join();
    queue.runPending();
    queue.runPending();
    const std::string replies = err.text();
    EXPECT_EQ(std::count(replies.begin(), replies.end(), '\n'), 1 + 1500);  // every command kept
}

TEST_F(ProcessTest, ABurstOfNotificationsIsOneWorkItemAfterTheWorkInProgress) {
    ASSERT_TRUE(process->start({}));
    const AudioObjectID headphones = addOutput(2, 48000.0, "headphones");
    hw.setDefaultOutput(headphones);
    err.clear();
    const auto notified = now;
    for (int i = 0; i < 5; ++i) hw.fire(audio::kAudioObjectSystemObject, audio::kAudioHardwarePropertyDefaultOutputDevice);
    hw.fire(audio::kAudioObjectSystemObject, audio::kAudioHardwarePropertyDevices);
    process->post(*app::parseCommand("LIST", platformText()));
    advance(50ms);  // LIST, and nothing else yet
    const std::string listed = err.text();
    EXPECT_EQ(listed.rfind("@DEVICES ", 0), 0u);
    advance(50ms);
    const std::string after = err.text().substr(listed.size());
    EXPECT_EQ(after.rfind("  ! default output changed - rebuilding\n", 0), 0u) << after;
    EXPECT_EQ(after.find("default output changed", 5), std::string::npos);  // once for the whole burst
    std::cout << "notification to rebuild: "
              << std::chrono::duration_cast<std::chrono::milliseconds>(now - notified).count() << " ms\n";
    process->requestTermination(SIGTERM);
    queue.runPending();
    expectNothingLeaked();
}

TEST_F(ProcessTest, APlatformWithoutListenersRunsAsBefore) {
    hw.listenersSupported = false;
    ASSERT_TRUE(process->start({}));
    EXPECT_EQ(hw.liveListeners(), 0);
    process->post(*app::parseCommand("INPUT mic", platformText()));
    process->post(*app::parseCommand("SYSTEM", platformText()));
    queue.runPending();
    EXPECT_NE(err.text().find("  > system tap started\n"), std::string::npos);
    process->requestTermination(SIGTERM);
    queue.runPending();
    expectNothingLeaked();
}

}  // namespace lumvar::testing
