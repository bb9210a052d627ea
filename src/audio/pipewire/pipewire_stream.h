#pragma once

#include <pipewire/pipewire.h>

#include <cstdint>
#include <functional>

#include "audio/buffer_list.h"
#include "audio/server/server_connection.h"

namespace lumvar::audio::pipewire {

class PipeWireConnection;

// A capture stream on one node, linked by the session manager to its target and never moved elsewhere:
// when the target goes away, the stream ends and `died` is told. A sink's monitor is captured from the
// sink itself (stream.capture.sink). Each buffer reaches the IO block on PipeWire's data thread as a
// one-buffer list of interleaved float32 samples, stamped as Core Audio stamps an IO cycle's input:
// its sample time counts the stream's frames, with a cycle the graph skipped (its clock jumped further
// than the previous buffer's length) counted too, so the gap shows; its host time is when its first frame
// was captured, in CLOCK_MONOTONIC nanoseconds:
//     now - (delay + frames) / graph rate - buffered / stream rate
// from the cycle's time report: the newest frame of the cycle was captured the graph's delay (to the
// device) before the cycle began, plus what the converter still holds.
class PipeWireStream final : public server::CaptureStream {
  public:
    PipeWireStream(PipeWireConnection& connection, const AudioDeviceIOBlock& block,
                   std::function<void()> died);
    ~PipeWireStream() override;
    PipeWireStream(const PipeWireStream&) = delete;
    PipeWireStream& operator=(const PipeWireStream&) = delete;

    OSStatus start(const server::DeviceInfo& source, std::uint32_t channels, std::uint32_t rate) override;

  private:
    static void onProcess(void* data);
    static void onState(void* data, pw_stream_state old, pw_stream_state state, const char* error);
    static void onDestroy(void* data);

    void release();  // lock held
    void ended();    // lock held

    PipeWireConnection& connection_;
    const AudioDeviceIOBlock& block_;
    std::function<void()> died_;
    pw_stream* stream_ = nullptr;
    spa_hook listener_{};
    std::uint32_t channels_ = 2;
    std::uint32_t rate_ = 48000;
    bool stopping_ = false;
    // The data thread's own.
    BufferListStorage list_{1};
    std::uint64_t position_ = 0;
    std::uint64_t expectedTicks_ = 0;  // where the graph's clock should be at the next cycle
    std::uint64_t lastTicks_ = 0;      // the last buffer's length on that clock
    bool cycled_ = false;
};

}  // namespace lumvar::audio::pipewire
