#include "capture/input_capture.h"

#include <gtest/gtest.h>

#include "audio/audio_properties.h"
#include "support/audio_fixture.h"

namespace lumvar::testing {

using namespace lumvar::audio;
using capture::InputCapture;
using Op = ScriptedAudio::Op;

struct InputCaptureTest : AudioFixture {
    std::shared_ptr<InputCapture> input = InputCapture::create(env, out);
    AudioObjectID mic = addInput("usb:mic/1", "Desk Mic", {2});
    void TearDown() override { input->stop(), expectNothingLeaked(); }
};

// Each start: the lines it writes, whether it runs. A name or UID from the platform or the parent is one
// line wherever it is echoed; the device is found by the UID exactly as given; a failed start leaves the
// capture idle and no IO proc behind.
TEST_F(InputCaptureTest, EveryStartSaysWhatItFoundAndAFailedOneLeavesItIdle) {
    addOutput(2, 48000.0, "o\x0B");
    const AudioObjectID unreadable = addInput("unreadable", "Mic", {1});
    hw.addDevice({.uid = "nameless", .name = std::nullopt, .inputStreams = {1}, .outputStreams = {}});
    const ScriptedAudio::Fault noProc{Op::CreateIOProcID, mic, {}, -1}, noStart{Op::DeviceStart, mic, {}, -2},
        noName{Op::GetPropertyData, unreadable, kAudioObjectPropertyName, -9};
    const std::string fffd = "\xEF\xBF\xBD", deskMic = "  input device 'Desk Mic' channels: 2\n",
                      speakers = "  input device 'Speakers' channels: 0\n";
    using Row = std::tuple<std::string, std::optional<ScriptedAudio::Fault>, bool, std::string>;
    for (const auto& [uid, fault, starts, lines] :
         {Row{"USB:MIC/1", {}, false, "  x input device not found: USB:MIC/1\n"},
          Row{"o\x0B", {}, false, speakers + "  x input device has no input channels: o" + fffd + "\n"},
          Row{"usb:mic/1", noProc, false, deskMic + "  x create input IOProc failed: -1\n"},
          Row{"usb:mic/1", noStart, false, deskMic + "  x start input failed: -2\n"},
          Row{"unreadable", noName, true, "  x n failed: -9\n  input device 'unreadable' channels: 1\n"},
          Row{"nameless", {}, true, "  input device 'nameless' channels: 1\n"}}) {
        SCOPED_TRACE(uid);
        hw.clearFaults();
        if (fault) hw.inject(*fault);
        err.clear();
        EXPECT_EQ(input->start(uid), starts);
        EXPECT_EQ(err.text(), lines);
        EXPECT_EQ(input->devID() != 0, starts);
        EXPECT_EQ(hw.liveIOProcs(), starts ? 1 : 0);
        input->stop();
    }
    ASSERT_TRUE(input->start("usb:mic/1"));
    const AudioDeviceIOBlock stale = hw.callbackOf(mic);
    hw.clearCalls();
    input->stop();
    input->stop();  // stopped once: the second finds nothing to do
    const std::string id = std::to_string(mic);
    EXPECT_EQ(hw.calls(), (std::vector<std::string>{"deviceStop " + id, "destroyIOProcID " + id}));
    // A platform that runs the old callback late must not make it a second producer of the next capture.
    ASSERT_TRUE(input->start("usb:mic/1"));
    stale(nullptr, &Buffers({{0.5f, 0.25f}}).list(), nullptr, nullptr, nullptr);
    EXPECT_TRUE(written().empty());
}

TEST_F(InputCaptureTest, FramesGoOutAsTwoChannelsSecondChannelFirst) {
    ASSERT_TRUE(input->start("usb:mic/1"));
    const auto frames = [this](const Buffers& in) {
        return clearWritten(), hw.deliver(mic, in.list()), written();
    };
    using F = std::vector<float>;
    EXPECT_EQ(frames(Buffers({{1, 2, 3, 4}}, {2})), F({2, 1, 4, 3}));
    EXPECT_EQ(frames(Buffers({{5, 6}}, {1})), F({5, 5, 6, 6}));                          // mono doubled
    EXPECT_EQ(frames(Buffers({{0, 1, 2, 3, 10, 11, 12, 13}}, {4})), F({1, 0, 11, 10}));  // 2 and 3 dropped
    EXPECT_EQ(frames(Buffers({{1, 2, 3, 4, 5}}, {2})), F({2, 1, 4, 3}));  // half a frame dropped
    EXPECT_EQ(frames(Buffers({{1, 2}}, {3})), F());                       // less than a frame
    EXPECT_EQ(frames(Buffers({{1, 2}}, {0})), F());
    EXPECT_EQ(frames(Buffers({})), F());  // no buffer at all
    EXPECT_EQ(frames(Buffers({{1, 2, 3}, {10, 20, 30}}, {1, 1})), F({10, 1, 20, 2, 30, 3}));
    EXPECT_EQ(frames(Buffers({{1, 2}, {10, 20}, {100, 200}}, {1, 1, 1})), F({10, 1, 20, 2}));
    Buffers nullFirst({{1, 2}, {10, 20}}, {1, 1}), nullSecond({{1, 2}, {10, 20}}, {1, 1});
    nullFirst[0].mData = nullSecond[1].mData = nullptr;
    EXPECT_EQ(frames(nullSecond), F({1, 1, 2, 2}));  // as a mono device
    EXPECT_EQ(frames(nullFirst), F());
    // The second buffer is one value short and holds exactly that: a read past it is caught by ASan.
    EXPECT_EQ(frames(Buffers({{1, 2, 3}, {10, 20}}, {1, 1})), F({10, 1, 20, 2}));
    // Several channels to a buffer: channels 1 and 0 wherever they lie, each buffer at its own stride.
    EXPECT_EQ(frames(Buffers({{1, 2, 3, 4}, {10, 20, 30, 40}}, {2, 2})), F({2, 1, 4, 3}));
    EXPECT_EQ(frames(Buffers({{1, 2}, {10, 11, 20, 21}}, {1, 2})), F({10, 1, 20, 2}));
}

TEST_F(InputCaptureTest, NoCycleAllocatesAndOnlyWholeBuffersAreDropped) {
    ASSERT_TRUE(input->start("usb:mic/1"));
    Buffers stereo({std::vector<float>(1024, 0.5f)}, {2});
    Buffers planar({std::vector<float>(512, 0.5f), std::vector<float>(512, -0.5f)}, {1, 1});
    Buffers huge({std::vector<float>(40000, 0.25f)}, {2});  // 20,000 frames: a cycle after a stall
    AllocationScope scope;
    hw.deliver(mic, huge.list());
    for (int i = 0; i < 1000; ++i) {
        hw.deliver(mic, (i % 2 ? stereo : planar).list());
        if (i % 80 == 79) drainAll(out);  // the ring fills up in between
    }
    EXPECT_EQ(scope.count(), 0u);
    drainAll(out);
    hw.deliver(mic, stereo.list());  // the stream goes on: the last hole is over
    const std::uint64_t dropped = out.acknowledge();
    EXPECT_TRUE(dropped > 0 && dropped % 1024 == 0) << dropped;
}

}  // namespace lumvar::testing
