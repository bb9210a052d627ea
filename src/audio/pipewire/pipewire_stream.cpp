#include "audio/pipewire/pipewire_stream.h"

#include <spa/param/audio/format-utils.h>
#include <spa/pod/builder.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <string>

#include "audio/pipewire/pipewire_connection.h"
#include "audio/pipewire/pipewire_statuses.h"

namespace lumvar::audio::pipewire {
namespace {

constexpr pw_stream_events kEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    return events;
}();

// The format asked for: float32 in this channel count and rate; one and two channels placed as the
// pulse server places them, more left unpositioned (taken as the node has them).
const spa_pod* captureFormat(spa_pod_builder& builder, std::uint32_t channels, std::uint32_t rate) {
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.channels = channels;
    info.rate = rate;
    if (channels == 1) {
        info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    } else if (channels == 2) {
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
    } else {
        info.flags = SPA_AUDIO_FLAG_UNPOSITIONED;
    }
    return spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info);
}

}  // namespace

PipeWireStream::PipeWireStream(PipeWireConnection& connection, const AudioDeviceIOBlock& block,
                               std::function<void()> died)
    : connection_(connection), block_(block), died_(std::move(died)) {}

PipeWireStream::~PipeWireStream() {
    server::ServerConnection::Lock lock(connection_);
    stopping_ = true;
    release();
}

OSStatus PipeWireStream::start(const server::DeviceInfo& source, std::uint32_t channels, std::uint32_t rate) {
    channels_ = std::clamp<std::uint32_t>(channels, 1, SPA_AUDIO_MAX_CHANNELS);
    rate_ = rate == 0 ? 48000 : rate;
    clock_ = CycleClock(rate_);

    server::ServerConnection::Lock lock(connection_);
    if (connection_.core() == nullptr) return kNotConnected;
    const bool monitor = !source.monitorOf.empty();
    // About 10 ms per cycle, as a low-latency recorder asks.
    const std::string latency =
        std::to_string(std::max<std::uint32_t>(rate_ / 100, 1)) + "/" + std::to_string(rate_);
    pw_properties* properties =
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_APP_NAME,
                          "lumvar-capture", PW_KEY_NODE_NAME, "lumvar-capture", PW_KEY_TARGET_OBJECT,
                          (monitor ? source.monitorOf : source.name).c_str(), PW_KEY_NODE_DONT_RECONNECT,
                          "true", PW_KEY_NODE_LATENCY, latency.c_str(), nullptr);
    if (monitor) pw_properties_set(properties, PW_KEY_STREAM_CAPTURE_SINK, "true");
    // Every stream of this process in one group, which the graph schedules with one driver: a call's
    // microphone and what plays then come in the same cycles, on one clock (the microphone's device,
    // when its clock differs, resampled to it by the graph).
    pw_properties_setf(properties, PW_KEY_NODE_GROUP, "lumvar-capture-%d", static_cast<int>(::getpid()));
    stream_ = pw_stream_new(connection_.core(), "lumvar-capture", properties);
    if (stream_ == nullptr) return kStreamFailed;
    static constexpr pw_stream_events events = [] {
        pw_stream_events all = kEvents;
        all.destroy = &PipeWireStream::onDestroy;
        all.state_changed = &PipeWireStream::onState;
        all.process = &PipeWireStream::onProcess;
        return all;
    }();
    pw_stream_add_listener(stream_, &listener_, &events, this);

    std::uint8_t room[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(room, sizeof room);
    const spa_pod* params[] = {captureFormat(builder, channels_, rate_)};
    const auto flags =
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                     PW_STREAM_FLAG_RT_PROCESS | PW_STREAM_FLAG_DONT_RECONNECT);
    if (pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1) < 0) {
        release();
        return kStreamFailed;
    }
    const auto state = [this] {
        return stream_ == nullptr ? PW_STREAM_STATE_ERROR : pw_stream_get_state(stream_, nullptr);
    };
    connection_.waitLocked(
        [&] {
            const pw_stream_state now = state();
            return now == PW_STREAM_STATE_STREAMING || now == PW_STREAM_STATE_ERROR ||
                   now == PW_STREAM_STATE_UNCONNECTED;
        },
        PipeWireConnection::kRequestTimeout);
    const pw_stream_state reached = state();
    if (reached == PW_STREAM_STATE_STREAMING) return kAudioHardwareNoError;
    release();
    return reached == PW_STREAM_STATE_ERROR || reached == PW_STREAM_STATE_UNCONNECTED ? kStreamFailed
                                                                                      : kTimedOut;
}

void PipeWireStream::release() {
    if (stream_ == nullptr) return;
    spa_hook_remove(&listener_);
    pw_stream_disconnect(stream_);  // waits for a cycle under way on the data thread
    pw_stream_destroy(stream_);
    stream_ = nullptr;
}

void PipeWireStream::ended() {
    if (stopping_) return;
    stopping_ = true;
    if (died_) died_();
}

void PipeWireStream::onState(void* data, pw_stream_state, pw_stream_state state, const char*) {
    auto& self = *static_cast<PipeWireStream*>(data);
    self.connection_.signal();
    // Its target went away or the daemon did: no cycle comes any more.
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) self.ended();
}

// The core went away and took the stream with it.
void PipeWireStream::onDestroy(void* data) {
    auto& self = *static_cast<PipeWireStream*>(data);
    spa_hook_remove(&self.listener_);
    self.stream_ = nullptr;
    self.connection_.signal();
    self.ended();
}

// Every buffer the stream holds is taken at once: a callback that ran late (two cycles' wake-ups in one)
// finds two, and the graph's report is the newer one's. Each older buffer was captured before the
// buffers after it, and the report moves on by all of them.
void PipeWireStream::onProcess(void* data) {
    auto& self = *static_cast<PipeWireStream*>(data);
    constexpr std::size_t kMaxBuffers = 16;
    std::array<pw_buffer*, kMaxBuffers> buffers{};
    std::array<std::uint32_t, kMaxBuffers> frames{};
    std::size_t count = 0;
    while (count < kMaxBuffers && (buffers[count] = pw_stream_dequeue_buffer(self.stream_)) != nullptr)
        ++count;
    if (count == 0) return;
    const std::uint32_t frameBytes = self.channels_ * sizeof(float);
    std::uint64_t newer = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const spa_data& plane = buffers[i]->buffer->datas[0];
        if (plane.data != nullptr && plane.chunk != nullptr)
            frames[i] =
                std::min(plane.chunk->size, plane.maxsize - std::min(plane.chunk->offset, plane.maxsize)) /
                frameBytes;
        newer += frames[i];
    }
    pw_time time{};
    pw_stream_get_time_n(self.stream_, &time, sizeof time);
    for (std::size_t i = 0; i < count; ++i) {
        newer -= frames[i];
        const spa_data& plane = buffers[i]->buffer->datas[0];
        if (plane.data != nullptr && plane.chunk != nullptr) {
            const CycleStamp at = self.clock_.stamp({.now = time.now,
                                                     .rateNum = time.rate.num,
                                                     .rateDenom = time.rate.denom,
                                                     .ticks = time.ticks,
                                                     .delay = time.delay,
                                                     .buffered = time.buffered},
                                                    frames[i], static_cast<std::uint32_t>(newer));
            if (frames[i] > 0) {
                AudioTimeStamp stamp{};
                stamp.mFlags = kAudioTimeStampSampleTimeValid;
                stamp.mSampleTime = static_cast<double>(at.position);
                if (at.capturedNanos) {
                    stamp.mHostTime = *at.capturedNanos;
                    stamp.mFlags |= kAudioTimeStampHostTimeValid;
                }
                AudioBuffer& out = self.list_.buffer(0);
                out.mNumberChannels = self.channels_;
                out.mDataByteSize = frames[i] * frameBytes;
                out.mData =
                    static_cast<std::uint8_t*>(plane.data) + std::min(plane.chunk->offset, plane.maxsize);
                AudioBufferList output{};
                self.block_(&stamp, &self.list_.list(), &stamp, &output, &stamp);
            }
        }
        pw_stream_queue_buffer(self.stream_, buffers[i]);
    }
}

}  // namespace lumvar::audio::pipewire
