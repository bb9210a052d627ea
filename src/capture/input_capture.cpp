#include "capture/input_capture.h"

#include <algorithm>
#include <optional>
#include <span>
#include <string>

#include "audio/audio_properties.h"
#include "audio/check.h"
#include "audio/property_queries.h"
#include "capture/input_channels.h"
#include "capture/io_callback.h"
#include "common/memory_sink.h"
#include "common/number_format.h"

namespace lumvar::capture {

using namespace lumvar::audio;

std::shared_ptr<InputCapture> InputCapture::create(AudioEnv env, SampleOutput& stdoutHandle) {
    return std::shared_ptr<InputCapture>(new InputCapture(env, stdoutHandle));
}

InputCapture::InputCapture(AudioEnv env, SampleOutput& stdoutHandle)
    : env_(env), stdoutHandle_(stdoutHandle) {}

InputCapture::~InputCapture() {
    if (gate_) gate_->close();
}

bool InputCapture::open(std::string_view uid) {
    const AudioObjectID id = deviceIDForUID(env_, uid);
    if (id == kAudioObjectUnknown) {
        env_.log.log("  x input device not found: " + oneLine(uid));
        return false;
    }
    devID_ = id;
    const std::int64_t channels = inputChannelCount(env_, id);
    const std::string name = cfStringProp(env_, id, kAudioObjectPropertyName, "n").value_or(std::string(uid));
    // Written before the device is touched, so it precedes a failed start too. The name is the
    // platform's: any program may name a device, so it must not be able to end the line early.
    env_.log.log("  input device '" + oneLine(name) + "' channels: " + formatInt(channels));
    if (channels < 1) {
        // An output-only device would start and never deliver a frame.
        env_.log.log("  x input device has no input channels: " + oneLine(uid));
        devID_ = kAudioObjectUnknown;
        return false;
    }

    uid_ = uid;
    rate_ = nominalRate(env_, id);
    return true;
}

bool InputCapture::restart() {
    NullSink quiet;
    StatusLog quietLog(quiet);
    AudioEnv env{env_.hw, quietLog, env_.text};
    devID_ = deviceIDForUID(env, uid_);
    return devID_ != kAudioObjectUnknown && run();
}

bool InputCapture::run() {
    rate_ = nominalRate(env_, devID_);  // a call may have set it since open()
    placeFrames(true);
    ioCycles_.store(0, std::memory_order_relaxed);
    AudioDeviceIOProcID procID = nullptr;
    gate_ = std::make_shared<CallbackGate>();
    if (check(env_.log, env_.hw.createIOProcIDWithBlock(procID, devID_, ioCallbackFor(*this, gate_)),
              "create input IOProc")) {
        ioProcID_ = procID;
        if (check(env_.log, env_.hw.deviceStart(devID_, ioProcID_), "start input")) return true;
    }
    stop();
    return false;
}

void InputCapture::stop() {
    if (ioProcID_ != nullptr) {
        env_.hw.deviceStop(devID_, ioProcID_);
        env_.hw.destroyIOProcID(devID_, ioProcID_);
        gate_->close();
        ioProcID_ = nullptr;
        if (part_ != nullptr) part_->end();
    }
    devID_ = kAudioObjectUnknown;
}

void InputCapture::rateChanged() {
    if (!running()) return;
    if (const double rate = nominalRate(env_, devID_); rate != rate_) {
        rate_ = rate;
        if (part_ != nullptr) {
            part_->changeRate(rate);
        } else {
            stdoutHandle_.changeRate(rate);
        }
    }
    placeFrames(false);  // the latency's frames last another time
}

void InputCapture::placeFrames(bool starting) {
    const SideLatency latency = sideLatency(env_, devID_, kAudioObjectPropertyScopeInput);
    const std::int64_t nanos = latencyNanos(latency.frames(), rate_);
#ifdef LUMVAR_DEBUG_NOTIFICATIONS
    // For the field check: the parts, and whether the stream answers in the input scope too.
    if (starting) {
        const auto inScope = frameProperty(env_, firstStream(env_, devID_, kAudioObjectPropertyScopeInput),
                                           kAudioStreamPropertyLatency, kAudioObjectPropertyScopeInput);
        env_.log.log("  input timing: device latency=" + formatUnsigned(latency.device) +
                     " stream latency=" + formatUnsigned(latency.stream) + " input-scope stream latency=" +
                     (inScope ? formatUnsigned(*inScope) : std::string("failed")));
    }
#endif
    if (part_ != nullptr) {
        if (starting) part_->begin(rate_, nanos);
        part_->changeLatency(nanos);
    } else if (starting) {
        stdoutHandle_.beginSource(rate_, nanos);
    } else if (nanos != latencyNanos_) {
        stdoutHandle_.changeLatency(nanos);
    }
    latencyNanos_ = nanos;
}

namespace {

// Writes the frames into the ring's room, whose two pieces may part inside a frame.
void fill(const InputChannels& layout, SampleRing::Region room) {
    const auto put = [&](std::span<float> piece, std::size_t sample, std::size_t count) {
        for (std::size_t i = 0; i < count; ++i, ++sample) {
            const std::size_t frame = sample / 2;
            piece[i] = (sample % 2 == 0 ? layout.first : layout.second).at(frame);
        }
    };
    const std::size_t whole = room.first.size() / 2;
    for (std::size_t k = 0; k < whole; ++k) {
        room.first[2 * k] = layout.first.at(k);
        room.first[2 * k + 1] = layout.second.at(k);
    }
    put(room.first.subspan(2 * whole), 2 * whole, room.first.size() - 2 * whole);
    put(room.second, room.first.size(), room.second.size());
}

// A call's microphone: the mean of the two channels the input source carries (one channel twice, for a
// mono device).
void feedPart(CallPart& part, const InputChannels& layout, const AudioTimeStamp* time) {
    const auto room = part.reserve(layout.frames);
    if (!room) return;  // the pairing is this far behind: the next chunk's stamp says where the part is
    std::size_t frame = 0;
    for (const std::span<float> piece : {room->first, room->second})
        for (float& sample : piece)
            sample = 0.5f * (layout.first.at(frame) + layout.second.at(frame)), ++frame;
    part.commit(layout.frames, time);
}

}  // namespace

void InputCapture::process(const AudioBufferList* input, const AudioTimeStamp* time, const AudioTimeStamp*) {
    ioCycles_.store(ioCycles_.load(std::memory_order_relaxed) + 1,
                    std::memory_order_relaxed);  // the only writer
    if (input == nullptr || input->mNumberBuffers < 1) return;
    const auto layout = inputChannelsOf(buffersOf(*input));
    if (!layout || layout->frames == 0) return;
    if (part_ != nullptr) return feedPart(*part_, *layout, time);
    stdoutHandle_.cycle(time, layout->frames);
    const std::size_t samples = SampleOutput::kChannels * layout->frames;
    const auto room = stdoutHandle_.reserve(samples);
    if (!room) {
        stdoutHandle_.dropped(samples);
        return;
    }
    fill(*layout, *room);
    stdoutHandle_.commit(samples);
}

}  // namespace lumvar::capture
