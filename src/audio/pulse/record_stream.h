#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>
#include <string>
#include <vector>

#include "audio/buffer_list.h"
#include "audio/pulse/pulse_connection.h"

namespace lumvar::audio::pulse {

// A record stream on one source that hands every fragment to an IO block as a one-buffer list of
// interleaved float32 samples. Holes in the stream arrive as silence of the same length, but never
// longer than the time since the previous delivery (an idle source's jump of its read index is not
// minutes of real silence); if the stream dies (its source went away), silence keeps arriving in
// 10 ms blocks until stop(), so the callback sees a silent device rather than a vanished one.
class RecordStream {
public:
    RecordStream(PulseConnection& connection, const AudioDeviceIOBlock& block);
    ~RecordStream();
    RecordStream(const RecordStream&) = delete;
    RecordStream& operator=(const RecordStream&) = delete;

    // Connects to `source` and waits until it records. Takes the loop's lock itself. With
    // `followDefaultSink` the stream moves to the new default sink's monitor whenever the default changes.
    OSStatus start(const std::string& source, std::uint32_t channels, std::uint32_t rate, bool followDefaultSink);

    // Moves the stream to another source, if it runs. Loop thread, lock held.
    void moveTo(const std::string& source);

    // Disconnects; once it returns the block is never called again. Takes the loop's lock itself.
    void stop();

private:
    static void onRead(pa_stream* stream, std::size_t bytes, void* userdata);
    static void onState(pa_stream* stream, void* userdata);
    static void onSilenceTick(pa_mainloop_api* api, pa_time_event* event, const timeval* time, void* userdata);

    void deliver(const void* data, std::size_t bytes);
    void deliverSilence(std::size_t bytes);
    void startSilence();  // loop thread, lock held
    void release();       // lock held

    PulseConnection& connection_;
    const AudioDeviceIOBlock& block_;
    pa_stream* stream_ = nullptr;
    pa_time_event* silenceTimer_ = nullptr;
    std::uint32_t channels_ = 2;
    std::uint32_t rate_ = 48000;
    BufferListStorage list_{1};
    std::vector<float> silence_;  // 100 ms of zeros, reused for holes and for a dead stream
    std::chrono::steady_clock::time_point lastDelivery_;
    bool stopping_ = false;
    bool following_ = false;
};

}  // namespace lumvar::audio::pulse
