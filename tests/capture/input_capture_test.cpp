#include "capture/input_capture.h"

#include <gtest/gtest.h>

#include "audio/audio_properties.h"
#include "support/alloc_counter.h"
#include "support/audio_fixture.h"

namespace lumvar::testing {

using namespace lumvar::audio;
using capture::InputCapture;
using Op = ScriptedAudio::Op;

struct InputCaptureTest : AudioFixture {
    std::shared_ptr<InputCapture> input = InputCapture::create(env, out);
    AudioObjectID mic = 0;
    void SetUp() override { mic = addInput("usb:mic/1", "Desk Mic", {2}); }
    void TearDown() override {
        input->stop();
        expectNothingLeaked();
    }
    // What one IO cycle of the running capture writes for `buffers`.
    std::vector<float> convert(const Buffers& buffers) {
        clearWritten();
        hw.deliver(mic, buffers.list());
        return written();
    }
};

TEST_F(InputCaptureTest, EveryFailedStartLeavesItIdleAndTouchesNoMoreThanItMust) {
    const AudioObjectID nameless = addInput("nameless", "", {1});
    addOutput(2, 48000.0, "speakers");
    struct Row {
        std::string uid;
        std::optional<ScriptedAudio::Fault> fault;
        std::string lines;
    };
    const Row rows[] = {
        {"USB:MIC/1", {}, "  x input device not found: USB:MIC/1\n"},
        {"speakers",
         {},
         "  input device 'Speakers' channels: 0\n  x input device has no input channels: speakers\n"},
        {"usb:mic/1",
         {{Op::CreateIOProcID, mic, {}, -1}},
         "  input device 'Desk Mic' channels: 2\n  x create input IOProc failed: -1\n"},
        {"usb:mic/1",
         {{Op::DeviceStart, mic, {}, -2}},
         "  input device 'Desk Mic' channels: 2\n  x start input failed: -2\n"},
    };
    for (const Row& row : rows) {
        hw.clearFaults();
        if (row.fault) hw.inject(*row.fault);
        err.clear();
        EXPECT_FALSE(input->start(row.uid));
        EXPECT_EQ(err.text(), row.lines);
        EXPECT_EQ(input->devID(), 0u);
        EXPECT_EQ(hw.liveIOProcs(), 0);
    }
    hw.clearFaults();
    hw.setNullString(nameless, kAudioObjectPropertyName);
    err.clear();
    ASSERT_TRUE(input->start("nameless"));  // a later start works as from the beginning
    EXPECT_EQ(err.text(), "  input device 'nameless' channels: 1\n");
    EXPECT_EQ(input->rate(), 48000.0);
    const AudioDeviceIOBlock stale = hw.callbackOf(nameless);
    hw.clearCalls();
    input->stop();
    input->stop();  // stopped once: the second finds nothing to do
    const std::string id = std::to_string(nameless);
    EXPECT_EQ(hw.calls(), (std::vector<std::string>{"deviceStop " + id, "destroyIOProcID " + id}));
    // A platform that runs the old callback late must not make it a second producer of the next capture.
    ASSERT_TRUE(input->start("usb:mic/1"));
    stale(nullptr, &Buffers({{0.5f, 0.25f}}).list(), nullptr, nullptr, nullptr);
    EXPECT_TRUE(written().empty());
}

TEST_F(InputCaptureTest, TheNameLineIsOneLineWhateverThePlatformSays) {
    addInput("forger", "Mic\r\n@DEVICES []", {2});
    const AudioObjectID unreadable = addInput("unreadable", "Mic", {1});
    hw.inject({Op::GetPropertyData, unreadable, kAudioObjectPropertyName, -9});
    ASSERT_TRUE(input->start("forger"));
    input->stop();
    ASSERT_TRUE(input->start("unreadable"));
    input->stop();
    addInput("mute\x0B", "Mute", {});
    EXPECT_FALSE(input->start("mute\x0B"));  // found by the UID as given, echoed as one line
    EXPECT_EQ(
        err.text(),
        "  input device 'Mic\xEF\xBF\xBD\xEF\xBF\xBD@DEVICES []' channels: 2\n"
        "  x n failed: -9\n  input device 'unreadable' channels: 1\n"
        "  input device 'Mute' channels: 0\n  x input device has no input channels: mute\xEF\xBF\xBD\n");
}

TEST_F(InputCaptureTest, FramesGoOutAsTwoChannelsSecondChannelFirst) {
    ASSERT_TRUE(input->start("usb:mic/1"));
    struct Row {
        Buffers in;
        std::vector<float> out;
    };
    Buffers nullSecond({{1, 2}, {10, 20}}, {1, 1});
    nullSecond[1].mData = nullptr;
    Buffers nullFirst({{1, 2}, {10, 20}}, {1, 1});
    nullFirst[0].mData = nullptr;
    std::vector<Row> rows;
    rows.push_back({Buffers({{1, 2, 3, 4}}, {2}), {2, 1, 4, 3}});
    rows.push_back({Buffers({{5, 6}}, {1}), {5, 5, 6, 6}});  // mono doubled
    rows.push_back(
        {Buffers({{0, 1, 2, 3, 10, 11, 12, 13}}, {4}), {1, 0, 11, 10}});  // channels 2 and 3 dropped
    rows.push_back({Buffers({{1, 2, 3, 4, 5}}, {2}), {2, 1, 4, 3}});      // half a frame dropped
    rows.push_back({Buffers({{1, 2}}, {3}), {}});                         // less than a frame
    rows.push_back({Buffers({{1, 2}}, {0}), {}});
    rows.push_back({Buffers({{1, 2, 3}, {10, 20, 30}}, {1, 1}), {10, 1, 20, 2, 30, 3}});
    rows.push_back({Buffers({{1, 2}, {10, 20}, {100, 200}}, {1, 1, 1}), {10, 1, 20, 2}});
    rows.push_back({std::move(nullSecond), {1, 1, 2, 2}});
    rows.push_back({std::move(nullFirst), {}});
    // The second buffer is one value short and holds exactly that: a read past it is caught by ASan.
    rows.push_back({Buffers({{1, 2, 3}, {10, 20}}, {1, 1}), {10, 1, 20, 2}});
    // Several channels to a buffer: channels 1 and 0 wherever they lie, each buffer at its own stride.
    rows.push_back({Buffers({{1, 2, 3, 4}, {10, 20, 30, 40}}, {2, 2}), {2, 1, 4, 3}});
    rows.push_back({Buffers({{1, 2}, {10, 11, 20, 21}}, {1, 2}), {10, 1, 20, 2}});
    for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(convert(rows[i].in), rows[i].out) << "row " << i;
    audio::BufferListStorage empty(0);
    clearWritten();
    hw.deliver(mic, empty.list());
    EXPECT_TRUE(written().empty());
}

TEST_F(InputCaptureTest, NoCycleAllocatesAndOnlyWholeBuffersAreDropped) {
    capture::SampleOutput small(30000);
    auto quiet = InputCapture::create(env, small);
    ASSERT_TRUE(quiet->start("usb:mic/1"));
    Buffers stereo({std::vector<float>(1024, 0.5f)}, {2});
    Buffers planar({std::vector<float>(512, 0.5f), std::vector<float>(512, -0.5f)}, {1, 1});
    Buffers huge({std::vector<float>(20000, 0.25f)}, {2});  // 10,000 frames: a cycle after a stall
    AllocationScope scope;
    hw.deliver(mic, huge.list());
    for (int i = 0; i < 1000; ++i) {
        hw.deliver(mic, (i % 2 ? stereo : planar).list());
        if (i % 40 == 39) discardAll(small);
    }
    EXPECT_EQ(scope.count(), 0u);
    discardAll(small);
    hw.deliver(mic, stereo.list());  // the stream goes on: the last hole is over
    const std::uint64_t dropped = small.acknowledge();
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(dropped % 1024, 0u);
    quiet->stop();
}

}  // namespace lumvar::testing
