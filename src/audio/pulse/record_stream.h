#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "audio/buffer_list.h"
#include "audio/pulse/pulse_connection.h"
#include "audio/pulse/record_clock.h"

namespace lumvar::audio::pulse {

// A record stream on one source that hands every fragment to an IO block as a one-buffer list of
// interleaved float32 samples. The server may not move it elsewhere: when its source goes away (or the
// server does), the stream ends and `died` is told, instead of the capture silently carrying on from
// another device. Holes in a live stream arrive as silence of the same length, but never longer than
// the time since the previous delivery (an idle source's jump of its read index is not minutes of
// real silence).
// Each delivery is stamped as Core Audio stamps an IO cycle's input: its sample time is the position of
// its first frame in the stream (a hole shortened shows as a jump), its host time when that frame was
// captured, in CLOCK_MONOTONIC nanoseconds, placed from the server's timing reports (record_clock.h).
// (libpulse's own interpolated latency smooths over a change of the sink's latency for about a second, and so
// misplaces a new stream's first frames by as much as the change: hundreds of milliseconds on an idle sink.)
class RecordStream final : public server::CaptureStream {
  public:
    // `died` runs on the loop's thread with the lock held, at most once, never after stop().
    RecordStream(PulseConnection& connection, const AudioDeviceIOBlock& block, std::function<void()> died);
    ~RecordStream() override;
    RecordStream(const RecordStream&) = delete;
    RecordStream& operator=(const RecordStream&) = delete;

    // Connects to `source` and waits until it records. Takes the loop's lock itself.
    OSStatus start(const DeviceInfo& source, std::uint32_t channels, std::uint32_t rate) override;

    // Disconnects; once it returns the block is never called again. Takes the loop's lock itself.
    void stop();

  private:
    static void onRead(pa_stream* stream, std::size_t bytes, void* userdata);
    static void onState(pa_stream* stream, void* userdata);
    static void onTiming(pa_stream* stream, int success, void* userdata);
    static void onLatency(pa_stream* stream, void* userdata);
    static void onReportDue(pa_mainloop_api* api, pa_time_event* timer, const timeval* when, void* userdata);

    static constexpr std::chrono::milliseconds kReportEvery{250};
    static constexpr std::chrono::microseconds kPlacement{1000};

    // When the fragment about to be read (`bytes` long) began to be captured.
    std::uint64_t captureTime(std::size_t bytes) const;
    void deliver(const void* data, std::size_t bytes, std::uint64_t captured);
    void deliverSilence(std::size_t bytes, std::uint64_t captured);
    std::uint64_t nanosOf(std::size_t bytes) const;
    void release();  // lock held

    PulseConnection& connection_;
    const AudioDeviceIOBlock& block_;
    std::function<void()> died_;
    pa_stream* stream_ = nullptr;
    std::uint32_t channels_ = 2;
    std::uint32_t rate_ = 48000;
    BufferListStorage list_{1};
    std::vector<float> silence_;  // 100 ms of zeros, reused for holes
    std::chrono::steady_clock::time_point lastDelivery_;
    std::uint64_t position_ = 0;  // frames read from the stream, holes included
    std::uint64_t skew_ = 0;      // added to the stamps' frame counts: one more for each new placement
    ReferenceFilter reports_;
    pa_time_event* reportTimer_ = nullptr;
    std::optional<Reference> reference_;  // the best of the recent timing reports
    bool stopping_ = false;
};

}  // namespace lumvar::audio::pulse
