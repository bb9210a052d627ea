#include "capture/call_capture.h"

#include <chrono>

#include "audio/audio_properties.h"
#include "audio/property_queries.h"
#include "common/memory_sink.h"

namespace lumvar::capture {

using namespace lumvar::audio;

namespace {
// Each part's ring: 2.7 s at 48 kHz, far more than the pairing ever keeps waiting.
constexpr std::size_t kPartFrames = 1 << 17;
// How often the pairing thread takes what the parts delivered: what plays waits this much longer at most.
constexpr std::chrono::milliseconds kPace{10};
}  // namespace

std::shared_ptr<CallCapture> CallCapture::create(AudioEnv env, Tap& tap, InputCapture& input,
                                                 SampleOutput& output) {
    return std::shared_ptr<CallCapture>(new CallCapture(env, tap, input, output));
}

CallCapture::CallCapture(AudioEnv env, Tap& tap, InputCapture& input, SampleOutput& output)
    : env_(env), tap_(tap), input_(input), output_(output) {}

CallCapture::~CallCapture() {
    if (pairing_.joinable()) {
        stopping_.store(true, std::memory_order_release);
        wake_.notify();
        pairing_.join();
    }
}

bool CallCapture::start(std::string_view uid) {
    std::uint32_t apart = 0;
    std::uint32_t size = sizeof apart;
    apart_ = env_.hw.getPropertyData(kAudioObjectSystemObject, globalAddress(kLumvarCallPartsApart), size,
                                     &apart) == kAudioHardwareNoError &&
             apart != 0;
    if (!input_.open(uid)) return false;
    uid_ = uid;
    micID_ = input_.devID();
    micRate_ = input_.rate();
    micLost_ = false;
    // Fresh parts and pairing for every call: nothing of an earlier one is left in them.
    micPart_ = std::make_unique<CallPart>(kPartFrames, wake_);
    systemPart_ = std::make_unique<CallPart>(kPartFrames, wake_);
    const std::uint64_t now = env_.hw.currentHostTime();
    const double nanosPerTick = static_cast<double>(env_.hw.hostTimeToClockNanos(now + 1'000'000'000) -
                                                    env_.hw.hostTimeToClockNanos(now)) /
                                1e9;
    pairer_ = std::make_unique<CallPairer>(*micPart_, *systemPart_, output_, nanosPerTick,
                                           [&hw = env_.hw] { return hw.currentHostTime(); });

    if (apart_) {
        tap_.feedCall(Tap::CallFeed{systemPart_.get(), nullptr, ""});
        input_.feedCall(micPart_.get());
        rate_ = buildSystem() ? tap_.rate() : fallbackRate();
        if (!startMic()) {
            tap_.teardown();
            input_.stop();
            tap_.feedCall(std::nullopt);
            input_.feedCall(nullptr);
            return false;
        }
    } else {
        input_.stop();  // idle: the aggregate holds the microphone
        tap_.feedCall(Tap::CallFeed{systemPart_.get(), micPart_.get(), uid_});
        if (!buildSystem()) {
            tap_.teardown();
            tap_.feedCall(std::nullopt);
            restoreMicRate();
            return false;
        }
        rate_ = tap_.rate();
    }
    if (const double now = nominalRate(env_, micID_); now != micRate_) setRate_ = now;
    // The pairing thread is the output's one producer from here on: it begins the call's first segment.
    output_.beginSource(rate_, 0);
    stopping_.store(false, std::memory_order_relaxed);
    pairing_ = std::thread([this] { pairUntilStopped(); });
    running_ = true;
    return true;
}

void CallCapture::stop() {
    if (!running_) return;
    tap_.teardown();
    input_.stop();
    // Both parts have ended: the pairing writes what waits, without waiting for more, and stops.
    stopping_.store(true, std::memory_order_release);
    wake_.notify();
    pairing_.join();
    tap_.feedCall(std::nullopt);
    input_.feedCall(nullptr);
    restoreMicRate();
    running_ = false;
}

bool CallCapture::buildSystem() {
    tap_.teardown();  // a build that stopped part-way may have left a tap behind
    return tap_.build();
}

// The microphone's part on its own clock, asked for the call's rate, which the server converts it to;
// the device open() found, or, after a stop, the one its UID names now.
bool CallCapture::startMic() {
    if (micRate_ != rate_) {
        env_.hw.setPropertyData(micID_, globalAddress(kAudioDevicePropertyNominalSampleRate), sizeof rate_,
                                &rate_);
        setRate_ = rate_;
    }
    return input_.devID() != kAudioObjectUnknown ? input_.run() : input_.restart();
}

// Only a rate the call set, and only while the device still runs at it: a rate someone else chose since
// stays.
void CallCapture::restoreMicRate() {
    if (setRate_ > 0.0 && nominalRate(env_, micID_) == setRate_)
        env_.hw.setPropertyData(micID_, globalAddress(kAudioDevicePropertyNominalSampleRate), sizeof micRate_,
                                &micRate_);
    setRate_ = 0.0;
}

double CallCapture::fallbackRate() {
    NullSink quiet;
    StatusLog quietLog(quiet);
    AudioEnv env{env_.hw, quietLog, env_.text};
    const double rate = nominalRate(env, defaultOutputDeviceID(env));
    return rate > 0.0 ? rate : micRate_;
}

bool CallCapture::rebuildSystem() {
    if (!apart_) tap_.feedCall(Tap::CallFeed{systemPart_.get(), micPart_.get(), micLost_ ? "" : uid_});
    if (!buildSystem()) return false;
    if (tap_.rate() != rate_) {
        // What plays runs at another rate now: so does the call, the microphone's part with it.
        rate_ = tap_.rate();
        output_.changeRate(rate_);
        if (apart_ && input_.running()) {
            input_.stop();
            startMic();
        }
    }
    return true;
}

bool CallCapture::dropMic() {
    micLost_ = true;
    if (apart_) {
        input_.stop();
        return tap_.running();
    }
    return rebuildSystem();
}

bool CallCapture::micRunning() const {
    if (!running_ || micLost_) return false;
    return apart_ ? input_.running() : tap_.running();
}

void CallCapture::rateChanged() {
    tap_.rateChanged();
    if (apart_ && input_.running()) input_.rateChanged();
    if (!tap_.running() || tap_.rate() == rate_) return;
    rate_ = tap_.rate();
    output_.changeRate(rate_);
    if (apart_ && input_.running()) {
        input_.stop();
        startMic();
    }
}

void CallCapture::latencyChanged() {
    if (tap_.running()) tap_.latencyChanged();
    if (apart_ && input_.running()) input_.latencyChanged();
}

void CallCapture::pairUntilStopped() {
    const auto ready = [this] {
        return stopping_.load(std::memory_order_acquire) || micPart_->nextChunk() || systemPart_->nextChunk();
    };
    // Every kPace at most: a wake-up for every chunk of either part would cost more than the pairing.
    while (!stopping_.load(std::memory_order_acquire)) {
        wake_.waitUntil(ready, kPace, /*patient=*/true);
        pairer_->pump();
    }
    pairer_->pump();
}

}  // namespace lumvar::capture
