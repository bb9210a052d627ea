#include "capture/input_capture.h"

#include <string>

#include "audio/audio_properties.h"
#include "audio/check.h"
#include "audio/property_queries.h"
#include "capture/io_callback.h"
#include "common/number_format.h"

namespace lumvar::capture {

using namespace lumvar::audio;

namespace {
// Room for the frames of a typical cycle, so the first callbacks need not allocate.
constexpr std::size_t kFramesReserve = 4096;
}  // namespace

std::shared_ptr<InputCapture> InputCapture::create(AudioEnv env, SampleOutput& stdoutHandle) {
    return std::shared_ptr<InputCapture>(new InputCapture(env, stdoutHandle));
}

InputCapture::InputCapture(AudioEnv env, SampleOutput& stdoutHandle)
    : env_(env), stdoutHandle_(stdoutHandle) {}

InputCapture::~InputCapture() {
    if (gate_) gate_->close();
}

bool InputCapture::start(std::string_view uid) {
    const AudioObjectID id = deviceIDForUID(env_, uid);
    if (id == kAudioObjectUnknown) {
        env_.log.log("  x input device not found: " + std::string(uid));
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
        env_.log.log("  x input device has no input channels: " + std::string(uid));
        devID_ = kAudioObjectUnknown;
        return false;
    }

    framesFor(kFramesReserve);
    uid_ = uid;
    rate_ = nominalRate(env_, id);
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
    }
    devID_ = kAudioObjectUnknown;
}

float* InputCapture::framesFor(std::size_t frames) {
    if (frames_.size() < 2 * frames) frames_.resize(2 * frames);  // only for a larger buffer than ever
    return frames_.data();
}

void InputCapture::process(const AudioBufferList* input) {
    ioCycles_.store(ioCycles_.load(std::memory_order_relaxed) + 1,
                    std::memory_order_relaxed);  // the only writer
    if (input == nullptr || input->mNumberBuffers < 1) return;
    const auto buffers = buffersOf(*input);
    std::size_t frames = 0;
    float* out = nullptr;

    if (buffers.size() == 1) {
        const AudioBuffer& buffer = buffers[0];
        const std::size_t channels = buffer.mNumberChannels;
        const std::size_t samples = buffer.mDataByteSize / sizeof(float);
        const auto* in = static_cast<const float*>(buffer.mData);
        if (in == nullptr || channels == 0 || channels > samples) return;
        frames = samples / channels;  // a trailing partial frame is dropped
        out = framesFor(frames);
        // Frames go out with the device's second channel first: the order parents of this stream have
        // always read input in. A mono device gives both the same sample.
        if (channels == 1) {
            for (std::size_t k = 0; k < frames; ++k) out[2 * k] = out[2 * k + 1] = in[k];
        } else {
            for (std::size_t k = 0; k < frames; ++k) {
                out[2 * k] = in[k * channels + 1];
                out[2 * k + 1] = in[k * channels];
            }
        }
    } else {
        // One channel per buffer; only the first two are used.
        const auto* first = static_cast<const float*>(buffers[0].mData);
        if (first == nullptr) return;
        frames = buffers[0].mDataByteSize / sizeof(float);
        if (frames == 0) return;
        const auto* second = static_cast<const float*>(buffers[1].mData);
        // Never read past the second buffer: frames beyond its end take the first channel for both.
        const std::size_t secondFrames = second == nullptr ? 0 : buffers[1].mDataByteSize / sizeof(float);
        out = framesFor(frames);
        for (std::size_t k = 0; k < frames; ++k) {
            out[2 * k] = k < secondFrames ? second[k] : first[k];
            out[2 * k + 1] = first[k];
        }
    }
    stdoutHandle_.write(std::span<const float>(out, 2 * frames));
}

}  // namespace lumvar::capture
