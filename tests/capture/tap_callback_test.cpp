#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

#include "capture/tap.h"
#include "support/alloc_counter.h"
#include "support/audio_fixture.h"

namespace lumvar::testing {

using capture::Tap;

struct TapCallback : AudioFixture {
    std::shared_ptr<Tap> tap = Tap::create(env, out, sleeper, uuids);

    Tap::Counters counters() const { return tap->counters(); }
};

TEST_F(TapCallback, NothingHappensWithoutDataAndTheDiagnosticWaitsForIt) {
    audio::BufferListStorage empty(0);
    tap->process(&empty.list());
    Buffers nullData({{0.5f, 0.5f}});
    nullData[0].mData = nullptr;
    tap->process(&nullData.list());
    tap->process(nullptr);
    tap->reportLayout();

    EXPECT_EQ(err.text(), "");
    EXPECT_TRUE(written().empty());
    EXPECT_EQ(counters().totalFrames, 0);
    EXPECT_FALSE(tap->logged());

    Buffers zeroSized(std::vector<std::vector<float>>(1));  // data pointer present, 0 bytes: logs once, counts and writes nothing
    std::vector<float> backing(1);
    zeroSized[0].mData = backing.data();
    tap->process(&zeroSized.list());
    EXPECT_TRUE(tap->logged());
    EXPECT_EQ(err.text(), "");  // the IO thread only keeps the layout; the main queue writes it
    tap->reportLayout();
    tap->reportLayout();
    EXPECT_EQ(err.text(), "  IOProc#1: abl.count=1 buf0.ch=2 bytes=0 frames=0\n    buf[0] ch=2 bytes=0\n");
    EXPECT_TRUE(written().empty());
    EXPECT_EQ(counters().totalFrames, 0);
}

TEST_F(TapCallback, LayoutDiagnosticOnceAndOnlyTheFirstBufferIsWritten) {
    std::vector<float> left(512, 0.25f), right(512, -0.25f);
    Buffers planar({left, right}, {1, 1});
    tap->process(&planar.list());
    tap->process(&planar.list());
    tap->reportLayout();

    EXPECT_EQ(err.chunks(), (std::vector<std::string>{"  IOProc#1: abl.count=2 buf0.ch=1 bytes=2048 frames=512\n",
                                                      "    buf[0] ch=1 bytes=2048\n", "    buf[1] ch=1 bytes=2048\n"}));
    std::vector<float> twice = left;
    twice.insert(twice.end(), left.begin(), left.end());
    EXPECT_EQ(written(), twice);

    // The flag outlives a rebuild's counter reset.
    err.clear();
    tap->setCounters({});
    tap->process(&planar.list());
    tap->reportLayout();
    EXPECT_EQ(err.text(), "");
}

TEST_F(TapCallback, DiagnosticDividesByOneForAChannelCountOfZero) {
    Buffers buffer({std::vector<float>(1024, 0.1f)}, {0});
    tap->process(&buffer.list());
    tap->reportLayout();
    EXPECT_EQ(err.chunks().front(), "  IOProc#1: abl.count=1 buf0.ch=0 bytes=4096 frames=1024\n");
}

TEST_F(TapCallback, SilenceCountersFollowTheFirstBuffer) {
    Buffers silence({std::vector<float>(512, 0.0f)});
    tap->process(&silence.list());
    EXPECT_EQ(counters().zeroFrames, 512);
    EXPECT_EQ(counters().totalFrames, 512);

    Buffers negativeZero({std::vector<float>(256, -0.0f)});
    tap->process(&negativeZero.list());
    EXPECT_EQ(counters().zeroFrames, 768);

    std::vector<float> oneLoud(512, 0.0f);
    oneLoud[300] = 1e-30f;
    Buffers loud({oneLoud});
    tap->process(&loud.list());
    EXPECT_EQ(counters().zeroFrames, 0);
    EXPECT_EQ(counters().totalFrames, 1280);

    tap->process(&silence.list());
    std::vector<float> withNaN(512, 0.0f);
    withNaN[511] = std::numeric_limits<float>::quiet_NaN();
    Buffers nan({withNaN});
    tap->process(&nan.list());
    EXPECT_EQ(counters().zeroFrames, 0);  // NaN is not silence
    EXPECT_EQ(counters().totalFrames, 2304);
}

TEST_F(TapCallback, OnlyWholeSamplesReachTheStream) {
    // 10 bytes: two samples and two stray bytes that would shift every later sample.
    Buffers buffer({{0.5f, -0.75f, 9.0f}});
    buffer[0].mDataByteSize = 10;
    tap->process(&buffer.list());
    tap->process(&buffer.list());
    EXPECT_EQ(written(), (std::vector<float>{0.5f, -0.75f, 0.5f, -0.75f}));
    EXPECT_EQ(counters().totalFrames, 4);

    tap->setScale(2.0f);
    clearWritten();
    tap->process(&buffer.list());
    EXPECT_EQ(written(), (std::vector<float>{1.0f, -1.5f}));
}

TEST_F(TapCallback, LevelCorrectionMultipliesWithoutClamping) {
    tap->setScale(1.5f);
    Buffers buffer({{1.0f, -1.0f, 0.5f, 2.0f}});
    tap->process(&buffer.list());
    EXPECT_EQ(written(), (std::vector<float>{1.5f, -1.5f, 0.75f, 3.0f}));

    // Less than one sample: nothing counted, nothing written.
    clearWritten();
    const auto before = counters();
    buffer[0].mDataByteSize = 3;
    tap->process(&buffer.list());
    EXPECT_TRUE(written().empty());
    EXPECT_EQ(counters().totalFrames, before.totalFrames);
    EXPECT_EQ(counters().zeroFrames, before.zeroFrames);

    // A buffer that wraps around the end of the ring is scaled whole, on both sides of the wrap.
    std::vector<float> big(40000);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<float>(i);
    Buffers large({big});
    tap->process(&large.list());
    clearWritten();
    tap->process(&large.list());  // starts 40 000 samples into a ring of 65 536
    const auto& scaled = written();
    ASSERT_EQ(scaled.size(), big.size());
    for (std::size_t i = 0; i < big.size(); ++i) ASSERT_EQ(scaled[i], big[i] * 1.5f) << i;
}

TEST_F(TapCallback, AFullRingDropsWholeBuffersThatStillCount) {
    std::vector<float> samples(30000, 0.0f);
    Buffers silence({samples});
    tap->process(&silence.list());
    tap->process(&silence.list());
    tap->process(&silence.list());  // 90 000 samples do not fit into 65 536: the third goes whole
    EXPECT_EQ(written().size(), 60000u);
    EXPECT_EQ(counters().zeroFrames, 90000);
    EXPECT_EQ(counters().totalFrames, 90000);
    EXPECT_EQ(out.acknowledge(), 30000u);
    EXPECT_EQ(out.acknowledge(), 0u);
}

TEST_F(TapCallback, CallbackDoesNothingOnceTheTapIsGone) {
    auto callback = Tap::callbackFor(tap);
    Buffers buffer({{0.5f, 0.5f}});
    callback(nullptr, &buffer.list(), nullptr, nullptr, nullptr);
    EXPECT_EQ(written().size(), 2u);

    tap.reset();
    callback(nullptr, &buffer.list(), nullptr, nullptr, nullptr);
    EXPECT_EQ(written().size(), 2u);
}

TEST_F(TapCallback, SteadyStateAllocatesNothing) {
    capture::SampleOutput sink(3000);
    auto quiet = Tap::create(env, sink, sleeper, uuids);
    std::vector<float> samples(1024);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = std::sin(static_cast<float>(i) * 0.05f);
    Buffers buffer({samples});
    Buffers silence({std::vector<float>(1024, 0.0f)});

    for (const float scale : {1.0f, 1.5f}) {
        quiet->setScale(scale);
        quiet->process(&buffer.list());  // the one-time diagnostic may allocate
        AllocationScope scope;
        for (int i = 0; i < 2000; ++i) {
            quiet->process(i % 3 == 0 ? &silence.list() : &buffer.list());
            if (i % 4 == 3) discardAll(sink);  // every other buffer finds the ring full: both paths run
        }
        EXPECT_EQ(scope.count(), 0u) << "scale " << scale;
        EXPECT_GT(sink.acknowledge(), 0u);
        discardAll(sink);
    }
}

TEST_F(TapCallback, CountersStayConsistentWhileAnotherThreadDelivers) {
    capture::SampleOutput sink(4096);  // full after a few buffers: the rest are dropped and still counted
    auto busy = Tap::create(env, sink, sleeper, uuids);
    Buffers silence({std::vector<float>(256, 0.0f)});
    std::atomic<bool> done{false};
    std::thread io([&] {
        for (int i = 0; i < 20000; ++i) busy->process(&silence.list());
        done = true;
    });
    while (!done) {
        const auto seen = busy->counters();
        ASSERT_EQ(seen.zeroFrames, seen.totalFrames);
        ASSERT_EQ(seen.totalFrames % 256, 0);
    }
    io.join();
    EXPECT_EQ(busy->counters().totalFrames, 20000 * 256);
}

}  // namespace lumvar::testing
