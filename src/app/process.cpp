#include "app/process.h"

#include <cerrno>

#include "audio/device_list.h"

namespace lumvar::app {

Process::Process(Deps deps)
    : log_(deps.err),
      env_{deps.hw, log_, deps.text},
      queue_(deps.queue),
      tap_(capture::Tap::create(env_, deps.out, deps.sleeper, deps.uuids)),
      input_(capture::InputCapture::create(env_, deps.out)),
      controller_(env_, tap_, input_, deps.parent, [this](int status) { queue_.stop(status); }) {}

bool Process::start(const Hooks& hooks) {
    if (!tap_->build()) {
        log_.line("initial tap build failed\n");
        return false;
    }
    audio::emitDevices(env_);
    log_.line("  > streaming (system). commands: SYSTEM | INPUT <uid> | LIST\n");
    if (hooks.startCommandReader) hooks.startCommandReader();
    controller_.setZeroThreshold(Controller::kZeroThreshold);
    queue_.startTimer(kWatchdogPeriod, [this] { controller_.watchdogTick(); });
    if (hooks.installSignalHandling) hooks.installSignalHandling();
    return true;
}

void Process::post(Command command) {
    queue_.post([this, command = std::move(command)] { controller_.handle(command); });
}

void Process::requestTermination() {
    queue_.postFirst([this] { controller_.terminate(); });
}

void Process::outputFailed(int error) {
    if (error != EPIPE) return;
    if (!outputGone_.exchange(true)) requestTermination();
}

}  // namespace lumvar::app
