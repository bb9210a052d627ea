#include "app/process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <thread>

#include "app/output_writer.h"
#include "audio/audio_properties.h"
#include "audio/property_queries.h"
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
    void command(std::string_view line) { process->post(std::string(line)); }
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

// A failed write to standard output ends the process once, ahead of what is queued: a reader that went
// away quietly with status 0, every other error with one line and status 2.
TEST_F(ProcessTest, AFailedOutputEndsTheProcessOnceAheadOfWhatIsQueued) {
    struct Case {
        int error;
        std::string line;
        int status;
    };
    const std::vector<Case> cases = {
        {EPIPE, "", 0},
        {ENOSPC, "  x output write error (ENOSPC) - ending\n", 2},
        {EIO, "  x output write error (EIO) - ending\n", 2},
        {EBADF, "  x output write error (EBADF) - ending\n", 2},
        {EFBIG, "  x output write error (EFBIG) - ending\n", 2},
        {EINVAL, "  x output write error (EINVAL) - ending\n", 2},
        {EROFS, "  x output write error (errno " + std::to_string(EROFS) + ") - ending\n", 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        std::vector<int> armed;
        MainQueue caseQueue{[this] { return now; }};
        Process caseProcess(Process::Deps{hw, out, err, platformText(), sleeper, uuids, parent, caseQueue,
                                          [&](int signal) { armed.push_back(signal); }});
        ASSERT_TRUE(caseProcess.start({}));
        err.clear();
        caseProcess.post("LIST");
        caseProcess.outputFailed(c.error);
        caseProcess.outputFailed(c.error);  // told of each failed write; ends once
        caseQueue.runPending();
        EXPECT_EQ(caseQueue.stopStatus(), c.status);
        EXPECT_EQ(err.text(), c.line);  // termination ran first: no LIST
        ASSERT_FALSE(armed.empty());
        EXPECT_EQ(armed.front(), c.error == EPIPE ? SIGPIPE : SIGTERM);  // the signal should the end stall
        caseProcess.requestTermination(SIGTERM);                         // after the end: changes nothing
        caseQueue.runPending();
        EXPECT_EQ(caseQueue.stopStatus(), c.status);
        EXPECT_EQ(err.text(), c.line);
        expectNothingLeaked();
    }
}

// Both standard streams in one record, in the order their writes happened.
struct Transcript {
    std::mutex mutex;
    std::vector<std::string> entries;
    struct Sink final : ByteSink {
        Transcript& transcript;
        std::string name;
        Sink(Transcript& t, std::string n) : transcript(t), name(std::move(n)) {}
        bool write(std::span<const std::byte> bytes) override {
            std::lock_guard guard(transcript.mutex);
            if (name == "out") {
                transcript.entries.push_back("out " + std::to_string(bytes.size() / 8) + " frames");
            } else {
                transcript.entries.emplace_back(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            }
            return true;
        }
    };
};

// The helper with its output writer run by hand, both streams recorded in one transcript.
struct SegmentLineTest : ProcessTest {
    Transcript transcript;
    Transcript::Sink errSink{transcript, "err"};
    Transcript::Sink outSink{transcript, "out"};
    std::optional<app::OutputWriter> writer;
    audio::AudioTimeStamp time{};
    void SetUp() override {
        MachineFixture::SetUp();
        process.emplace(Process::Deps{hw, out, errSink, platformText(), sleeper, uuids, parent, queue, {}});
        writer.emplace(out, outSink, [this] { process->outputNotice(); });
        time.mFlags = audio::kAudioTimeStampSampleTimeValid | audio::kAudioTimeStampHostTimeValid;
        time.mHostTime = 5'000'000'000;
        ASSERT_TRUE(process->start({}));
        transcript.entries.clear();
    }
    // One cycle of `frames` loud frames from `device`; the sample time follows on.
    void deliver(AudioObjectID device, std::size_t frames) {
        hw.deliver(device, Buffers({std::vector<float>(2 * frames, 0.25f)}).list(), &time);
        time.mSampleTime += static_cast<double>(frames);
        time.mHostTime += frames * 20'000;
    }
    void deliverToTap(std::size_t frames) { deliver(hw.aggregateIDs().back(), frames); }
    std::vector<std::string> entries() {
        std::lock_guard guard(transcript.mutex);
        return transcript.entries;
    }
};

TEST_F(SegmentLineTest, EachLineComesBeforeItsFramesAndTheBacklogLineAfterItsHoles) {
    deliverToTap(20000);
    deliverToTap(20000);  // 80,000 samples into a ring of 65,536: the second goes whole
    writer->pump();
    EXPECT_EQ(entries(), std::vector<std::string>{});  // nothing before the line: the writer waits
    queue.runPending();
    writer->pump();
    deliverToTap(100);  // the stream goes on after the hole
    writer->pump();
    queue.runPending();
    writer->pump();
    queue.runPending();
    EXPECT_EQ(entries(), (std::vector<std::string>{
                             "  IOProc#1: abl.count=1 buf0.ch=2 bytes=160000 frames=20000\n",
                             "    buf[0] ch=2 bytes=160000\n",
                             "  segment: frame=0 rate=48000.0 clock_ns=5000000000\n",
                             "out 20000 frames",
                             "  segment: frame=20000 rate=48000.0 clock_ns=5800000000\n",
                             "  ! output backlog: dropped 40000 samples - parent not reading\n",
                             "out 100 frames",
                         }));
}

TEST_F(SegmentLineTest, ALineThatDoesNotComeInTimeComesLateWithItsOwnFrame) {
    deliverToTap(100);
    writer->pump();
    queue.runPending();
    writer->pump();
    process->post("INPUT mic");
    queue.runPending();
    transcript.entries.clear();
    deliver(mic, 50);
    writer->pump();
    writer->lineWaitExpired();  // the main queue has not come to the line in time
    writer->pump();
    queue.runPending();
    EXPECT_EQ(entries(), (std::vector<std::string>{
                             "out 50 frames", "  segment: frame=100 rate=48000.0 clock_ns=5002000000\n"}));
}

TEST_F(SegmentLineTest, InputLatencyPlacesFramesEarlierAndTheDrainAtTheEndStopsAtALineNotOut) {
    // 4,800 frames at 48 kHz between the microphone and the callback: captured 0.1 s before the stamp.
    hw.addDevice(
        {.uid = "slow", .name = "Slow", .inputStreams = {2}, .outputStreams = {}, .inputLatency = 4800});
    process->post("INPUT slow");
    queue.runPending();
    transcript.entries.clear();
    const AudioObjectID slow = audio::deviceIDForUID(env, "slow");
    deliver(slow, 100);  // the start-up's tap never delivered: no line for it
    writer->pump();
    queue.runPending();
    writer->pump();
    EXPECT_EQ(entries(), (std::vector<std::string>{"  segment: frame=0 rate=48000.0 clock_ns=4900000000\n",
                                                   "out 100 frames"}));
    process->post("SYSTEM");
    queue.runPending();
    transcript.entries.clear();
    deliverToTap(100);  // its line would come after the end began
    process->requestTermination(SIGTERM);
    queue.runPending();
    EXPECT_FALSE(writer->finish(std::chrono::steady_clock::now() + 1s));
    EXPECT_EQ(entries(), std::vector<std::string>{});  // neither its line nor its frames
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
