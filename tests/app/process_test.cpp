#include "app/process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <thread>

#include "app/output_writer.h"
#include "audio/audio_properties.h"
#include "support/audio_fixture.h"

namespace lumvar::testing {

using namespace lumvar::audio;
using app::MainQueue;
using app::Process;

struct ProcessTest : MachineFixture {
    MainQueue::Clock::time_point now{};
    MainQueue queue{[this] { return now; }};
    Process process{{hw, out, err, platformText(), sleeper, uuids, parent, queue, {}}};
    const std::string list = "@DEVICES [{\"uid\":\"mic\",\"name\":\"Desk Mic\",\"ch\":2,\"default\":true}]\n";
    // Every test ends as the process does, on a signal, with nothing left behind.
    void TearDown() override {
        process.requestTermination(SIGTERM), queue.runPending();
        EXPECT_EQ(queue.stopStatus(), 0);
        expectNothingLeaked();
    }
    void started() {
        ASSERT_TRUE(process.start({}));
        err.clear();
    }
    void advance(MainQueue::Clock::duration by) { now += by, queue.runPending(); }
};

// A platform that cannot tell of its changes starts and runs all the same.
TEST_F(ProcessTest, StartsInItsFixedOrderWithOrWithoutListenersAndTicksTwoSecondsLater) {
    hw.listenersSupported = false;
    ASSERT_TRUE(process.start({[&] { err.write("(reader started)\n"); }, [&] { err.write("(signals)\n"); }}));
    EXPECT_EQ(err.text(), kBuildLines + list + kBanner + "(reader started)\n(signals)\n");
    EXPECT_EQ(process.controller().zeroThreshold(), 23'040'000);
    process.post("INPUT mic");
    process.post("SYSTEM");
    parent.gone = true;
    advance(1999ms);
    EXPECT_TRUE(err.text().ends_with("  > system tap started\n"));
    EXPECT_EQ(queue.stopStatus(), std::nullopt);
    advance(1ms);
    EXPECT_EQ(queue.stopStatus(), 0);
}

// A reader that went away ends it quietly with status 0, every other error with one line and status 2.
TEST_F(ProcessTest, AFailedOutputEndsTheProcessOnceAheadOfWhatIsQueued) {
    for (const auto& [error, line, status] : std::vector<std::tuple<int, std::string, int>>{
             {EPIPE, "", 0}, {EIO, "  x output write error (EIO) - ending\n", 2}}) {
        SCOPED_TRACE(error);
        std::vector<int> armed;
        MainQueue caseQueue;
        Process caseProcess(Process::Deps{hw, out, err, platformText(), sleeper, uuids, parent, caseQueue,
                                          [&](int signal) { armed.push_back(signal); }});
        ASSERT_TRUE(caseProcess.start({}));
        err.clear();
        caseProcess.post("LIST");
        caseProcess.outputFailed(error);
        caseProcess.outputFailed(error == EPIPE ? EIO : EPIPE);
        caseQueue.runPending();
        EXPECT_EQ(caseQueue.stopStatus(), status);
        EXPECT_EQ(err.text(), line);                                 // the end ran first: no LIST
        EXPECT_EQ(armed.at(0), error == EPIPE ? SIGPIPE : SIGTERM);  // the signal should the end stall
        expectNothingLeaked();
    }
}

// A hole's line too, and the backlog line after the lines of its holes; an input's latency is taken off its
// time, an output's added.
TEST_F(ProcessTest, EachSegmentLineComesBeforeItsFramesOrLateWithItsFrameAndTheEndStopsAtOneNotOut) {
    struct : ByteSink {  // standard output as the parent reads it, into the same record as standard error
        MemorySink* record;
        bool write(std::span<const std::byte> bytes) override {
            return record->write("out " + std::to_string(bytes.size() / 8) + " frames\n");
        }
    } frames;
    frames.record = &err;
    app::OutputWriter writer(out, frames, [this] { process.outputNotice(); });  // run by hand
    audio::AudioTimeStamp time{
        .mHostTime = 5'000'000'000,
        .mFlags = audio::kAudioTimeStampSampleTimeValid | audio::kAudioTimeStampHostTimeValid};
    const auto deliver = [&](AudioObjectID device, std::size_t count) {  // loud, each cycle after the last
        hw.deliver(device, Buffers({std::vector<float>(2 * count, 0.25f)}).list(), &time);
        time.mSampleTime += static_cast<double>(count);
        time.mHostTime += count * 20'000;
    };
    const auto flow = [&] { writer.pump(), queue.runPending(), writer.pump(); };  // the writer and the queue
    started();
    deliver(hw.aggregateIDs().back(), 20000);
    deliver(hw.aggregateIDs().back(), 20000);  // 80,000 samples into a ring of 65,536: the second goes whole
    writer.pump();
    EXPECT_EQ(err.text(), "");  // nothing before the line: the writer waits
    queue.runPending();
    writer.pump();
    deliver(hw.aggregateIDs().back(), 100);  // the stream goes on after the hole
    flow();
    EXPECT_EQ(err.text(),
              "  IOProc#1: abl.count=1 buf0.ch=2 bytes=160000 frames=20000\n    buf[0] ch=2 bytes=160000\n"
              "  segment: frame=0 rate=48000.0 clock_ns=5000000000\nout 20000 frames\n"
              "  segment: frame=20000 rate=48000.0 clock_ns=5800000000\n"
              "  ! output backlog: dropped 40000 samples - parent not reading\nout 100 frames\n");
    // 4,800 frames at 48 kHz between the microphone and the callback, 480 more in its stream (whose
    // latency a stream has in the global scope only): captured 0.11 s before the stamp.
    ScriptedAudio::Device slowSpec{"slow", "Slow", {2}, {}};
    slowSpec.inputLatency = 4800, slowSpec.inputStreamLatency = 480;
    const AudioObjectID slow = hw.addDevice(slowSpec);
    process.post("INPUT slow");
    queue.runPending();
    err.clear();
    deliver(slow, 50);
    writer.pump();
    writer.lineWaitExpired();  // the main queue has not come to the line in time
    writer.pump();
    queue.runPending();
    EXPECT_EQ(err.text(), "out 50 frames\n  segment: frame=20100 rate=48000.0 clock_ns=5692000000\n");
    // What the tap hears plays 720 frames (15 ms) after its stamp, in the device and its stream; the safety
    // offset lies within the stamp already.
    ScriptedAudio::Device late{"late", "Late", {}, {2}};
    late.outputLatency = 480, late.outputStreamLatency = 240, late.outputSafetyOffset = 960;
    hw.setDefaultOutput(hw.addDevice(late));
    process.post("SYSTEM");
    queue.runPending();
    const AudioObjectID tapped = hw.aggregateIDs().back();
    const auto cycle = [&](std::uint64_t frame, const char* rate) {  // a cycle, and the line it begins
        err.clear();
        const std::string expected = "  segment: frame=" + std::to_string(frame) + " rate=" + rate +
                                     " clock_ns=" + std::to_string(time.mHostTime + 15'000'000) +
                                     "\nout 100 frames\n";
        deliver(tapped, 100);
        flow();
        EXPECT_EQ(err.text(), expected);
    };
    cycle(20150, "48000.0");
    // The device starts again at a new rate before it says so: the first sign is its clock's jump, whose
    // line names the new rate already; then the notification's segment.
    hw.setNominalRate(tapped, 44100.0);
    time.mSampleTime += 1000;
    cycle(20250, "44100.0");
    hw.fire(tapped, kAudioDevicePropertyNominalSampleRate);
    advance(app::DeviceWatch::kBurst);
    cycle(20350, "44100.0");
    process.post("SYSTEM");
    queue.runPending();
    err.clear();
    deliver(hw.aggregateIDs().back(), 100);  // its line would come after the end began
    process.requestTermination(SIGTERM);
    queue.runPending();
    EXPECT_FALSE(writer.finish(std::chrono::steady_clock::now()));
    writer.lineWaitExpired();  // no longer passes a segment: nothing will write its line now
    writer.pump();
    EXPECT_EQ(err.text(), "");
}

TEST_F(ProcessTest, AnOverlongLineIsReportedAndAFloodHoldsTheReaderBack) {
    started();
    process.reportOverlong(65537);
    queue.runPending();
    EXPECT_EQ(err.text(), "  x command too long (65537 bytes) - ignored\n");
    std::atomic<int> posted{0};
    std::thread reader([&] {
        for (int i = 0; i < 1500; ++i, ++posted) process.post("nop");
    });
    while (posted < static_cast<int>(Process::kMaxQueuedCommands)) std::this_thread::yield();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(posted, static_cast<int>(Process::kMaxQueuedCommands));  // held back, not queued
    while (posted < 1500) queue.runPending();
    reader.join();
    queue.runPending();
    EXPECT_EQ(std::ranges::count(err.text(), '\n'), 1 + 1500);  // every command kept
}

}  // namespace lumvar::testing
