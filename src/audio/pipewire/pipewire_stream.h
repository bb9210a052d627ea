#pragma once

#include <pipewire/pipewire.h>

#include <cstdint>
#include <functional>

#include "audio/buffer_list.h"
#include "audio/pipewire/cycle_clock.h"
#include "audio/server/server_connection.h"

namespace lumvar::audio::pipewire {

class PipeWireConnection;

// A capture stream on one node, linked by the session manager to its target and never moved elsewhere:
// when the target goes away, the stream ends and `died` is told. A sink's monitor is captured from the
// sink itself (stream.capture.sink). Each buffer reaches the IO block on PipeWire's data thread as a
// one-buffer list of interleaved float32 samples, stamped as Core Audio stamps an IO cycle's input:
// its sample time is its position in the stream, its host time when its first frame was captured, in
// CLOCK_MONOTONIC nanoseconds (CycleClock says how both are read from the graph's report).
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
    CycleClock clock_{48000};
};

}  // namespace lumvar::audio::pipewire
