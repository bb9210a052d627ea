#include "app/process.h"

#include <cerrno>
#include <csignal>

#include "audio/property_queries.h"
#include "common/errno_name.h"
#include "common/number_format.h"

namespace lumvar::app {

Process::Process(Deps deps)
    : log_(deps.err),
      env_{deps.hw, log_, deps.text},
      queue_(deps.queue),
      output_(deps.output),
      ending_(std::move(deps.ending)),
      tap_(capture::Tap::create(env_, deps.output, deps.sleeper, deps.uuids)),
      input_(capture::InputCapture::create(env_, deps.output)),
      call_(capture::CallCapture::create(env_, *tap_, *input_, deps.output)),
      watch_(deps.hw, deps.queue),
      controller_({.env = env_,
                   .tap = tap_,
                   .input = input_,
                   .call = call_,
                   .parent = deps.parent,
                   .watch = watch_,
                   .now = [this] { return queue_.now(); },
                   .ending =
                       [this] {
                           if (ending_) ending_(SIGTERM);
                       },
                   .exit = [this](int status) { queue_.stop(status); }}) {}

bool Process::start(const Hooks& hooks) {
    if (!tap_->build()) {
        log_.log("initial tap build failed");
        return false;
    }
    controller_.listDevices();
    log_.log("  > streaming (system). commands: SYSTEM | INPUT <uid> | LIST");
    if (hooks.startCommandReader) hooks.startCommandReader();
    controller_.setZeroThreshold(Controller::kZeroThreshold);
    queue_.startTimer(kWatchdogPeriod, [this] { controller_.watchdogTick(); });
    controller_.startWatching();
    if (hooks.installSignalHandling) hooks.installSignalHandling();
    return true;
}

void Process::enqueueCommand(std::function<void()> work, std::size_t bytes) {
    {
        std::unique_lock lock(queuedMutex_);
        queuedBelowLimit_.wait(lock, [this, bytes] {
            return queued_ < kMaxQueuedCommands &&
                   (queuedBytes_ == 0 || queuedBytes_ + bytes <= kMaxQueuedBytes);
        });
        ++queued_;
        queuedBytes_ += bytes;
    }
    queue_.post([this, bytes, work = std::move(work)] {
        {
            std::lock_guard guard(queuedMutex_);
            --queued_;
            queuedBytes_ -= bytes;
        }
        queuedBelowLimit_.notify_one();
        work();
    });
}

void Process::post(std::string line) {
    const std::size_t bytes = line.size();
    // Queued as its one line of text; its word and argument are taken apart when its turn comes.
    enqueueCommand(
        [this, line = std::move(line)] {
            if (const auto command = parseCommand(line, env_.text)) controller_.handle(*command);
        },
        bytes);
}

void Process::reportOverlong(std::size_t bytes) {
    enqueueCommand([this, bytes] {
        if (!controller_.ended())
            log_.log("  x command too long (" + formatUnsigned(bytes) + " bytes) - ignored");
    });
}

void Process::requestTermination(int signal) {
    if (ending_) ending_(signal);
    queue_.postFirst([this] { controller_.terminate(); });
}

void Process::outputFailed(int error) {
    if (outputGone_.exchange(true)) return;
    // A reader that went away is an ordinary end; anything else loses the audio, which the parent must
    // be able to tell from an end it asked for.
    if (error == EPIPE) {
        requestTermination(SIGPIPE);
        return;
    }
    if (ending_) ending_(SIGTERM);
    queue_.postFirst([this, error] {
        if (controller_.ended()) return;
        log_.log("  x output write error (" + errnoName(error) + ") - ending");
        controller_.terminate(kOutputFailedStatus);
    });
}

void Process::outputNotice() {
    queue_.post([this] { serviceOutput(); });
}

void Process::serviceOutput() {
    if (controller_.ended()) return;
    const std::uint64_t dropped = output_.acknowledge();
    tap_->reportLayout();
    // Every segment start queued by now, the holes' among them, before the backlog line that counts them.
    while (const auto start = output_.nextToAnnounce()) {
        // The segment's samples wait until its line is written, not merely queued.
        log_.segmentLine(segmentLine(*start), start->sample / capture::SampleOutput::kChannels, start->anchor,
                         [this] { output_.announced(); });
        output_.lineQueued();
    }
    if (dropped > 0)
        log_.log("  ! output backlog: dropped " + formatUnsigned(dropped) + " samples - parent not reading");
}

std::string Process::segmentLine(const capture::SegmentStart& start) {
    // A cycle without a host time (not seen on either platform) is placed at the line's own time.
    const std::uint64_t hostTime = start.hostTimeValid ? start.hostTime : env_.hw.currentHostTime();
    const std::int64_t clock = env_.hw.hostTimeToClockNanos(hostTime) - start.latencyNanos;
    // A device that starts again at a new rate shows it first by its clock's jump, before it says so: the
    // jump's frames are at the rate the device has now.
    double rate = start.rate;
    const audio::AudioObjectID device = input_->running() ? input_->devID() : tap_->aggID();
    if (start.jump && device != audio::kAudioObjectUnknown)
        if (const double now = audio::nominalRate(env_, device); now > 0.0) rate = now;
    return "  segment: frame=" + formatUnsigned(start.sample / capture::SampleOutput::kChannels) +
           " rate=" + formatDouble(rate) + " clock_ns=" + formatInt(clock);
}

}  // namespace lumvar::app
