#include "audio/pulse/record_stream.h"

#include <chrono>
#include <cstdlib>
#include <ctime>

#include "audio/pulse/pulse_statuses.h"
#include "audio/pulse/record_clock.h"

namespace lumvar::audio::pulse {

namespace {
constexpr pa_usec_t kFragment = 10'000;  // about 10 ms per delivery
}  // namespace

RecordStream::RecordStream(PulseConnection& connection, const AudioDeviceIOBlock& block,
                           std::function<void()> died)
    : connection_(connection), block_(block), died_(std::move(died)) {}

RecordStream::~RecordStream() {
    stop();
}

OSStatus RecordStream::start(const DeviceInfo& source, std::uint32_t channels, std::uint32_t rate) {
    channels_ = channels == 0 ? 1 : channels;
    rate_ = rate == 0 ? 48000 : rate;
    const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, rate_, static_cast<std::uint8_t>(channels_)};
    if (!pa_sample_spec_valid(&format)) return kStreamFailed;
    pa_channel_map map;
    pa_channel_map_init_extend(&map, format.channels, PA_CHANNEL_MAP_DEFAULT);

    silence_.assign(static_cast<std::size_t>(rate_ / 10) * channels_, 0.0f);

    server::ServerConnection::Lock lock(connection_);
    if (connection_.context() == nullptr) return kNotConnected;
    lastDelivery_ = std::chrono::steady_clock::now();
    position_ = 0;
    skew_ = 0;
    stream_ = pa_stream_new(connection_.context(), "lumvar-capture", &format, &map);
    if (stream_ == nullptr) return kStreamFailed;
    pa_stream_set_state_callback(stream_, &RecordStream::onState, this);
    pa_stream_set_read_callback(stream_, &RecordStream::onRead, this);
    pa_stream_set_latency_update_callback(stream_, &RecordStream::onLatency, this);
    reference_.reset();
    reports_ = ReferenceFilter(rate_);

    // Small fragments: the default buffering is about 2 s, bursty, and loses up to 2 s at stop.
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
    attr.fragsize = static_cast<std::uint32_t>(pa_usec_to_bytes(kFragment, &format));
    // Timing kept current, so that every fragment's capture time can be told.
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE |
                                                      PA_STREAM_AUTO_TIMING_UPDATE);
    if (pa_stream_connect_record(stream_, source.name.c_str(), &attr, flags) < 0) {
        release();
        return kStreamFailed;
    }
    connection_.waitLocked(
        [this] {
            const pa_stream_state_t state = pa_stream_get_state(stream_);
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        },
        PulseConnection::kRequestTimeout);
    const pa_stream_state_t state = pa_stream_get_state(stream_);
    if (state != PA_STREAM_READY) {
        release();
        return PA_STREAM_IS_GOOD(state) ? kTimedOut : kStreamFailed;
    }
    // A few reports spread over more than a cycle of the server's before the stream counts as started, so
    // that its first frames are placed as well as the later ones.
    for (int report = 0; report < 4; ++report) {
        if (report > 0) connection_.waitLocked([] { return false; }, std::chrono::milliseconds(3));
        if (pa_operation* timing = pa_stream_update_timing_info(stream_, &RecordStream::onTiming, this)) {
            connection_.waitLocked(
                [timing] { return pa_operation_get_state(timing) != PA_OPERATION_RUNNING; },
                PulseConnection::kRequestTimeout);
            pa_operation_unref(timing);
        }
    }
    // And then one every kReportEvery (libpulse's own come every 1.5 s at most).
    timeval when{};
    pa_gettimeofday(&when);
    reportTimer_ = connection_.api()->time_new(connection_.api(), &when, &RecordStream::onReportDue, this);
    return kAudioHardwareNoError;
}

void RecordStream::onReportDue(pa_mainloop_api* api, pa_time_event* timer, const timeval*, void* userdata) {
    auto* self = static_cast<RecordStream*>(userdata);
    if (self->stream_ != nullptr && pa_stream_get_state(self->stream_) == PA_STREAM_READY)
        if (pa_operation* timing = pa_stream_update_timing_info(self->stream_, nullptr, nullptr))
            pa_operation_unref(timing);
    timeval next{};
    pa_gettimeofday(&next);
    pa_timeval_add(&next, static_cast<pa_usec_t>(std::chrono::microseconds(kReportEvery).count()));
    api->time_restart(timer, &next);
}

void RecordStream::onTiming(pa_stream*, int, void* userdata) {
    pa_threaded_mainloop_signal(static_cast<RecordStream*>(userdata)->connection_.loop(), 0);
}

void RecordStream::stop() {
    server::ServerConnection::Lock lock(connection_);
    stopping_ = true;
    release();
}

void RecordStream::release() {
    if (reportTimer_ != nullptr) connection_.api()->time_free(reportTimer_);
    reportTimer_ = nullptr;
    if (stream_ != nullptr) {
        pa_stream_set_read_callback(stream_, nullptr, nullptr);
        pa_stream_set_latency_update_callback(stream_, nullptr, nullptr);
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
    }
}

void RecordStream::onState(pa_stream* stream, void* userdata) {
    auto* self = static_cast<RecordStream*>(userdata);
    pa_threaded_mainloop_signal(self->connection_.loop(), 0);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (self->stopping_ || PA_STREAM_IS_GOOD(state)) return;
    // Its source or the server went away: no callback comes any more.
    self->stopping_ = true;
    if (self->died_) self->died_();
}

void RecordStream::onRead(pa_stream* stream, std::size_t, void* userdata) {
    auto* self = static_cast<RecordStream*>(userdata);
    const void* data = nullptr;
    std::size_t bytes = 0;
    while (pa_stream_readable_size(stream) > 0) {
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
        const std::uint64_t captured = self->captureTime(bytes);
        if (data == nullptr) {
            self->deliverSilence(bytes, captured);  // a hole
        } else {
            self->deliver(data, bytes, captured);
        }
        pa_stream_drop(stream);
    }
}

std::uint64_t RecordStream::nanosOf(std::size_t bytes) const {
    return static_cast<std::uint64_t>(bytes / (channels_ * sizeof(float))) * 1'000'000'000u / rate_;
}

namespace {
std::int64_t monotonicNanos() {
    timespec clock{};
    ::clock_gettime(CLOCK_MONOTONIC, &clock);
    return static_cast<std::int64_t>(clock.tv_sec) * 1'000'000'000 + clock.tv_nsec;
}
}  // namespace

void RecordStream::onLatency(pa_stream* stream, void* userdata) {
    auto* self = static_cast<RecordStream*>(userdata);
    const pa_timing_info* timing = pa_stream_get_timing_info(stream);
    if (timing == nullptr || timing->write_index_corrupt != 0) return;
    self->reports_.add(referenceOf({.arrivedNanos = monotonicNanos(),
                                    .transportUsec = timing->transport_usec,
                                    .writeIndexBytes = timing->write_index,
                                    .sourceUsec = timing->source_usec,
                                    .sinkUsec = timing->sink_usec},
                                   static_cast<std::uint32_t>(self->channels_ * sizeof(float))),
                       timing->source_usec != 0 || timing->sink_usec != 0);
    // The placement in force stays while the reports agree with it within kPlacement; when they move on
    // further (the sink's latency changed, or the clocks drifted), the next delivery begins a segment.
    const auto best = self->reports_.best();
    if (!self->reference_) {
        self->reference_ = best;
    } else if (std::abs(self->reports_.offset(*best) - self->reports_.offset(*self->reference_)) >
               std::chrono::nanoseconds(kPlacement).count()) {
        self->reference_ = best;
        ++self->skew_;
    }
}

// Each fragment is stamped by the truest report now, not by the placement in force: within a segment the
// two differ by less than kPlacement, and a reader that follows the stamps (a call's pairing, which
// smooths them) then sees a drifting clock as it drifts.
std::uint64_t RecordStream::captureTime(std::size_t bytes) const {
    const std::uint64_t frames = bytes / (channels_ * sizeof(float));
    const auto best = reports_.best();
    return static_cast<std::uint64_t>(
        capturedNanos(position_, best ? best : reference_, rate_, monotonicNanos(), frames));
}

void RecordStream::deliverSilence(std::size_t bytes, std::uint64_t captured) {
    const std::size_t frameBytes = channels_ * sizeof(float);
    const std::uint64_t holeEnd = position_ + bytes / frameBytes;
    const auto since = std::chrono::steady_clock::now() - lastDelivery_;
    bytes = holeFramesToDeliver(bytes / frameBytes,
                                std::chrono::duration_cast<std::chrono::nanoseconds>(since).count(), rate_) *
            frameBytes;
    const std::size_t piece = silence_.size() * sizeof(float);
    for (std::size_t done = 0; done < bytes; done += piece)
        deliver(silence_.data(), std::min(piece, bytes - done), captured + nanosOf(done));
    position_ = holeEnd;  // a hole cut short leaves a jump in the stream's frame count
}

void RecordStream::deliver(const void* data, std::size_t bytes, std::uint64_t captured) {
    lastDelivery_ = std::chrono::steady_clock::now();
    AudioBuffer& buffer = list_.buffer(0);
    buffer.mNumberChannels = channels_;
    buffer.mDataByteSize = static_cast<std::uint32_t>(bytes);
    buffer.mData = const_cast<void*>(data);
    AudioTimeStamp time{};
    time.mSampleTime = static_cast<double>(position_ + skew_);
    time.mHostTime = captured;
    time.mFlags = kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid;
    position_ += bytes / (channels_ * sizeof(float));
    AudioBufferList output{};
    block_(&time, &list_.list(), &time, &output, &time);
}

}  // namespace lumvar::audio::pulse
