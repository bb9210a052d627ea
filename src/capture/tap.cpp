#include "capture/tap.h"

#include <cmath>
#include <string>

#include "audio/aggregate_identity.h"
#include "audio/audio_properties.h"
#include "audio/check.h"
#include "audio/property_queries.h"
#include "capture/io_callback.h"
#include "common/number_format.h"
#include "common/undo_guard.h"

namespace lumvar::capture {

using namespace lumvar::audio;

namespace {
// The aggregate's rate is polled after the write: at most this many waits of this length.
constexpr int kRateWaits = 40;
constexpr std::chrono::microseconds kRateWait{25000};
constexpr double kRateTolerance = 1.0;
}  // namespace

std::shared_ptr<Tap> Tap::create(AudioEnv env, SampleOutput& output, Sleeper& sleeper, UuidSource& uuids) {
    return std::shared_ptr<Tap>(new Tap(env, output, sleeper, uuids));
}

Tap::Tap(AudioEnv env, SampleOutput& output, Sleeper& sleeper, UuidSource& uuids)
    : env_(env), sleeper_(sleeper), uuids_(uuids), stdoutHandle_(output) {}

Tap::~Tap() {
    if (gate_) gate_->close();
}

bool Tap::build() {
    const AudioObjectID device = defaultOutputDeviceID(env_);
    if (device == kAudioObjectUnknown) return false;
    const auto outputUID = cfStringProp(env_, device, kAudioDevicePropertyDeviceUID, "output UID");
    if (!outputUID) return false;
    const bool holdsMic = feed_ && !feed_->micUID.empty();
    if (holdsMic && !matchMicRate(device)) return false;

    // A process tap mixes everything down to stereo. On a platform whose stereo mix of a device with
    // more channels comes out at 2/channels of the played level, the correction of channels / 2 brings
    // it back; a platform whose mix keeps the level says so, and gets none.
    const std::int64_t channels = outputChannelCount(env_, device);
    scale_ =
        channels > 1 && !tapKeepsLevel() ? static_cast<float>(channels) / 2.0f : 1.0f;  // no callback yet
    env_.log.log("  output device channels: " + formatInt(channels) + ", level correction x" +
                 formatFloat(scale_));

    // Private: a tap of every process's audio must not be visible to every other process.
    const TapDescription description{.stereoGlobal = true,
                                     .excludedProcessObjects = {},
                                     .uuid = uuids_.next(),
                                     .muteBehavior = 0,
                                     .isPrivate = true};
    AudioObjectID createdTap = kAudioObjectUnknown;
    if (!check(env_.log, env_.hw.createProcessTap(description, createdTap), "create tap")) return false;
    tapID_ = createdTap;

    const auto tapUID = cfStringProp(env_, tapID_, kAudioTapPropertyUID, "tap UID");
    if (!tapUID)
        return false;  // the one failure that keeps what it made: the tap stays until the next teardown

    // From here on every failure undoes what this build made, in teardown's order, and leaves the
    // silence counters as they were.
    UndoUnlessDone undo([this, before = counters_.read()] {
        counters_.store(before);
        teardown();
    });

    // A microphone runs even while nothing plays: the aggregate must not wait for the tap to start.
    AggregateDescription aggregate{
        .name = kAggregateName,
        .uid = std::string(kAggregateUIDPrefix) + "." + uuids_.next(),
        .master = *outputUID,
        .isPrivate = true,
        .tapAutoStart = !holdsMic,
        .subDevices = {},
        .taps = {{.uid = *tapUID, .drift = false}},
    };
    if (holdsMic)
        aggregate.subDevices = {{.uid = *outputUID, .drift = false}, {.uid = feed_->micUID, .drift = true}};
    AudioObjectID createdAggregate = kAudioObjectUnknown;
    if (!check(env_.log, env_.hw.createAggregateDevice(aggregate, createdAggregate), "create aggregate"))
        return false;
    aggID_ = createdAggregate;

    rate_ = reconcileRates(device);
    outputID_ = device;
    logTapFormat();
    tapBuffer_ = 0;
    micBuffers_ = 0;
    if (holdsMic && !findCallBuffers(device)) return false;

    AudioDeviceIOProcID procID = nullptr;
    gate_ = std::make_shared<CallbackGate>();
    if (!check(env_.log, env_.hw.createIOProcIDWithBlock(procID, aggID_, ioCallbackFor(*this, gate_)),
               "create IOProc"))
        return false;
    ioProcID_ = procID;
    ioCycles_.store(0, std::memory_order_relaxed);
    // The counters start again from zero while no callback can run yet, so that the IO thread is their
    // only writer once the device runs; so does the stream's segment bookkeeping.
    counters_.store({});
    placeFrames(true);
    if (!check(env_.log, env_.hw.deviceStart(aggID_, ioProcID_), "start")) return false;
    undo.done();
    return true;
}

bool Tap::tapKeepsLevel() {
    std::uint32_t keeps = 0;
    std::uint32_t size = sizeof keeps;
    return env_.hw.getPropertyData(kAudioObjectSystemObject, globalAddress(kLumvarTapKeepsLevel), size,
                                   &keeps) == kAudioHardwareNoError &&
           keeps != 0;
}

double Tap::reconcileRates(AudioObjectID device) {
    const double wanted = nominalRate(env_, device);
    if (wanted > 0.0) {
        env_.hw.setPropertyData(aggID_, globalAddress(kAudioDevicePropertyNominalSampleRate), sizeof wanted,
                                &wanted);
        int tries = 0;
        while (!(std::fabs(nominalRate(env_, aggID_) - wanted) <= kRateTolerance) && tries < kRateWaits) {
            sleeper_.sleepFor(kRateWait);
            ++tries;
        }
        env_.log.log("  aggregate rate set -> " + formatDouble(nominalRate(env_, aggID_)) + " (wanted " +
                     formatDouble(wanted) + ", tries " + formatInt(tries) + ")");
    }
    const double rate = nominalRate(env_, aggID_);
    env_.log.log("  rates: output=" + formatDouble(nominalRate(env_, device)) +
                 " aggregate=" + formatDouble(rate));
    return rate;
}

bool Tap::matchMicRate(AudioObjectID output) {
    micID_ = deviceIDForUID(env_, feed_->micUID);
    const double wanted = nominalRate(env_, output);
    const double was = nominalRate(env_, micID_);
    if (micID_ == kAudioObjectUnknown || wanted <= 0.0 || std::fabs(was - wanted) <= kRateTolerance)
        return true;
    env_.hw.setPropertyData(micID_, globalAddress(kAudioDevicePropertyNominalSampleRate), sizeof wanted,
                            &wanted);
    for (int tries = 0;
         !(std::fabs(nominalRate(env_, micID_) - wanted) <= kRateTolerance) && tries < kRateWaits; ++tries)
        sleeper_.sleepFor(kRateWait);
    const double now = nominalRate(env_, micID_);
    env_.log.log("  microphone rate set -> " + formatDouble(now) + " (was " + formatDouble(was) +
                 ", wanted " + formatDouble(wanted) + ")");
    if (std::fabs(now - wanted) <= kRateTolerance) return true;
    env_.log.log("  x microphone cannot run at the output's rate: " + formatDouble(wanted));
    return false;
}

bool Tap::findCallBuffers(AudioObjectID output) {
    const std::size_t all = bufferChannels(env_, aggID_, kAudioObjectPropertyScopeInput).size();
    const std::size_t outputs = bufferChannels(env_, output, kAudioObjectPropertyScopeInput).size();
    const std::size_t mics = bufferChannels(env_, micID_, kAudioObjectPropertyScopeInput).size();
    if (mics == 0 || all != outputs + mics + 1) {
        env_.log.log("  x call buffers: the aggregate has " + formatUnsigned(all) + " input buffers, not " +
                     formatUnsigned(outputs + mics + 1));
        return false;
    }
    micFirst_ = static_cast<std::uint32_t>(outputs);
    micBuffers_ = static_cast<std::uint32_t>(mics);
    tapBuffer_ = static_cast<std::uint32_t>(outputs + mics);
    return true;
}

void Tap::rateChanged() {
    if (!running()) return;
    if (const double rate = nominalRate(env_, aggID_); rate != rate_) {
        rate_ = rate;
        if (!feed_) {
            stdoutHandle_.changeRate(rate);
        } else {
            feed_->system->changeRate(rate);
            if (micBuffers_ > 0) feed_->mic->changeRate(rate);
        }
    }
    placeFrames(false);  // the latency's frames last another time
}

// The tap's stamp is the cycle's input time; what it carries reaches the listener when the output device
// has played it: the device's output latency and its stream's after the stamp. A platform that says
// nothing of it (a sound server, whose streams place their own frames) adds nothing.
void Tap::placeFrames(bool building) {
    const SideLatency latency = sideLatency(env_, outputID_, kAudioObjectPropertyScopeOutput);
    const std::int64_t nanos = -latencyNanos(latency.frames(), nominalRate(env_, outputID_));
    if (feed_) {
        // A call's parts: what plays, and the microphone the aggregate holds, each placed on its side.
        const std::int64_t mic =
            micBuffers_ > 0 ? latencyNanos(sideLatency(env_, micID_, kAudioObjectPropertyScopeInput).frames(),
                                           nominalRate(env_, micID_))
                            : 0;
        if (building) {
            feed_->system->begin(rate_, nanos);
            if (micBuffers_ > 0) feed_->mic->begin(rate_, mic);
        }
        feed_->system->changeLatency(nanos);
        if (micBuffers_ > 0) feed_->mic->changeLatency(mic);
        latencyNanos_ = nanos;
        if (building) timing_.store(kToKeep, std::memory_order_relaxed);
        return;
    }
    if (building) {
        stdoutHandle_.beginSource(rate_, nanos);
        timing_.store(kToKeep, std::memory_order_relaxed);  // no callback runs yet
    } else if (nanos != latencyNanos_) {
        stdoutHandle_.changeLatency(nanos);
    }
    latencyNanos_ = nanos;
}

void Tap::logTapFormat() {
    const auto format = tapFormat(env_, tapID_);
    if (!format) return;
    env_.log.log("  tap format: rate=" + formatDouble(format->mSampleRate) +
                 " ch=" + formatUnsigned(format->mChannelsPerFrame) +
                 " bytesPerFrame=" + formatUnsigned(format->mBytesPerFrame) + " framesPerPacket=" +
                 formatUnsigned(format->mFramesPerPacket) + " flags=" + formatUnsigned(format->mFormatFlags));
}

void Tap::teardown() {
    if (ioProcID_ != nullptr) {
        env_.hw.deviceStop(aggID_, ioProcID_);
        env_.hw.destroyIOProcID(aggID_, ioProcID_);
        gate_->close();
        ioProcID_ = nullptr;
        if (feed_) {
            feed_->system->end();
            if (micBuffers_ > 0) feed_->mic->end();
        }
    }
    if (aggID_ != kAudioObjectUnknown) {
        env_.hw.destroyAggregateDevice(aggID_);
        aggID_ = kAudioObjectUnknown;
    }
    if (tapID_ != kAudioObjectUnknown) {
        env_.hw.destroyProcessTap(tapID_);
        tapID_ = kAudioObjectUnknown;
    }
}

}  // namespace lumvar::capture
