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

    void TearDown() override {
        input->stop();
        expectNothingLeaked();
    }

    std::vector<float> convert(Buffers& buffers) {
        clearWritten();
        input->process(&buffers.list());
        return written();
    }
};

TEST_F(InputCaptureTest, StartsTheDeviceAndStreamsChannelOneFirst) {
    addInput("other", "Other", {1});
    const AudioObjectID mic = addInput("usb:mic/1", "Desk Mic", {2});
    ASSERT_TRUE(input->start("usb:mic/1"));
    EXPECT_EQ(err.text(), "  input device 'Desk Mic' channels: 2\n");
    EXPECT_EQ(input->devID(), mic);
    EXPECT_EQ(hw.startedIOProcs(), 1);

    Buffers stereo({{1.0f, 2.0f, 3.0f, 4.0f}}, {2});
    EXPECT_EQ(hw.deliver(mic, stereo.list()), 1);
    EXPECT_EQ(written(), (std::vector<float>{2.0f, 1.0f, 4.0f, 3.0f}));

    hw.clearCalls();
    input->stop();
    input->stop();
    const std::string id = std::to_string(mic);
    EXPECT_EQ(hw.calls(), (std::vector<std::string>{"deviceStop " + id, "destroyIOProcID " + id}));
    EXPECT_EQ(input->devID(), 0u);
    EXPECT_EQ(input->ioProcID(), nullptr);
}

TEST_F(InputCaptureTest, UnknownUIDTouchesNothing) {
    addInput("mic", "Mic", {1});
    EXPECT_FALSE(input->start("MIC"));
    EXPECT_EQ(err.text(), "  x input device not found: MIC\n");
    EXPECT_EQ(input->devID(), 0u);
    EXPECT_TRUE(hw.calls().empty());
}

TEST_F(InputCaptureTest, StatusLineFallsBackToTheUIDAndKeepsToOneLine) {
    const AudioObjectID unnamed = addInput("unnamed", "", {1});
    hw.setNullString(unnamed, kAudioObjectPropertyName);
    ASSERT_TRUE(input->start("unnamed"));
    EXPECT_EQ(err.text(), "  input device 'unnamed' channels: 1\n");
    input->stop();

    err.clear();
    const AudioObjectID mic = addInput("mic", "Mic", {1});
    hw.inject({Op::GetPropertyData, mic, kAudioObjectPropertyName, -9});
    ASSERT_TRUE(input->start("mic"));
    EXPECT_EQ(err.text(), "  x n failed: -9\n  input device 'mic' channels: 1\n");
    input->stop();

    // Any program may name a device: a line break in its name must not start a line of its own.
    err.clear();
    addInput("forger", "Mic\r\n@DEVICES []", {2});
    ASSERT_TRUE(input->start("forger"));
    EXPECT_EQ(err.text(), "  input device 'Mic\xEF\xBF\xBD\xEF\xBF\xBD@DEVICES []' channels: 2\n");
}

TEST_F(InputCaptureTest, ADeviceWithoutInputChannelsIsRefused) {
    addOutput(2, 48000.0, "speakers");
    EXPECT_FALSE(input->start("speakers"));
    EXPECT_EQ(err.text(), "  input device 'Speakers' channels: 0\n  x input device has no input channels: speakers\n");
    EXPECT_EQ(input->devID(), 0u);
    EXPECT_EQ(hw.liveIOProcs(), 0);
}

TEST_F(InputCaptureTest, FailedStartUndoesItsRegistrationAndALaterStartWorks) {
    const AudioObjectID mic = addInput("mic", "Mic", {1});
    hw.inject({Op::CreateIOProcID, mic, {}, -1});
    EXPECT_FALSE(input->start("mic"));
    EXPECT_EQ(err.text(), "  input device 'Mic' channels: 1\n  x create input IOProc failed: -1\n");
    EXPECT_EQ(input->devID(), 0u);

    hw.clearFaults();
    hw.inject({Op::DeviceStart, mic, {}, -2});
    err.clear();
    EXPECT_FALSE(input->start("mic"));
    EXPECT_EQ(err.text(), "  input device 'Mic' channels: 1\n  x start input failed: -2\n");
    EXPECT_EQ(hw.liveIOProcs(), 0);
    EXPECT_EQ(input->ioProcID(), nullptr);

    hw.clearFaults();
    ASSERT_TRUE(input->start("mic"));
    EXPECT_EQ(input->devID(), mic);
}

TEST_F(InputCaptureTest, InterleavedBuffersBecomeTwoChannelFrames) {
    std::vector<float> mono(512);
    for (std::size_t i = 0; i < mono.size(); ++i) mono[i] = static_cast<float>(i);
    Buffers monoBuffer({mono}, {1});
    const auto doubled = convert(monoBuffer);
    ASSERT_EQ(doubled.size(), 1024u);
    EXPECT_EQ(doubled[0], 0.0f);
    EXPECT_EQ(doubled[1], 0.0f);
    EXPECT_EQ(doubled[1022], 511.0f);
    EXPECT_EQ(doubled[1023], 511.0f);

    Buffers four({{0, 1, 2, 3, 10, 11, 12, 13}}, {4});
    EXPECT_EQ(convert(four), (std::vector<float>{1, 0, 11, 10}));

    Buffers partial({{1, 2, 3, 4, 5}}, {2});  // the fifth value is half a frame
    EXPECT_EQ(convert(partial), (std::vector<float>{2, 1, 4, 3}));

    Buffers tooFew({{1, 2}}, {3});
    EXPECT_TRUE(convert(tooFew).empty());
    Buffers noChannels({{1, 2}}, {0});
    EXPECT_TRUE(convert(noChannels).empty());
    audio::BufferListStorage empty(0);
    input->process(&empty.list());
    EXPECT_TRUE(written().empty());
}

TEST_F(InputCaptureTest, PlanarBuffersUseTheFirstTwoAndNeverReadPastTheSecond) {
    Buffers two({{1, 2, 3}, {10, 20, 30}}, {1, 1});
    EXPECT_EQ(convert(two), (std::vector<float>{10, 1, 20, 2, 30, 3}));

    Buffers three({{1, 2}, {10, 20}, {100, 200}}, {1, 1, 1});
    EXPECT_EQ(convert(three), (std::vector<float>{10, 1, 20, 2}));

    Buffers nullSecond({{1, 2}, {10, 20}}, {1, 1});
    nullSecond[1].mData = nullptr;
    EXPECT_EQ(convert(nullSecond), (std::vector<float>{1, 1, 2, 2}));

    // The second buffer is one value short; its vector holds exactly that, so a read past it
    // would be caught by AddressSanitizer.
    Buffers shortSecond({{1, 2, 3}, {10, 20}}, {1, 1});
    EXPECT_EQ(convert(shortSecond), (std::vector<float>{10, 1, 20, 2, 3, 3}));

    Buffers nullFirst({{1, 2}, {10, 20}}, {1, 1});
    nullFirst[0].mData = nullptr;
    EXPECT_TRUE(convert(nullFirst).empty());
}

TEST_F(InputCaptureTest, SteadyStateAllocatesNothingAndDropsOnlyWholeFrames) {
    capture::SampleOutput sink(3000);
    auto quiet = InputCapture::create(env, sink);
    Buffers stereo({std::vector<float>(1024, 0.5f)}, {2});
    Buffers planar({std::vector<float>(512, 0.5f), std::vector<float>(512, -0.5f)}, {1, 1});
    quiet->process(&stereo.list());
    AllocationScope scope;
    for (int i = 0; i < 1000; ++i) {
        quiet->process(i % 2 ? &stereo.list() : &planar.list());
        if (i % 4 == 3) discardAll(sink);
    }
    EXPECT_EQ(scope.count(), 0u);
    const std::uint64_t dropped = sink.acknowledge();
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(dropped % 1024, 0u);  // only whole buffers are ever dropped
}

}  // namespace lumvar::testing
