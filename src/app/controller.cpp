#include "app/controller.h"

#include "audio/device_list.h"
#include "common/number_format.h"

namespace lumvar::app {

Controller::Controller(audio::AudioEnv env, std::shared_ptr<capture::Tap> tap,
                       std::shared_ptr<capture::InputCapture> input, ParentProbe& parent, std::function<void()> ending,
                       std::function<void(int status)> exit)
    : env_(env),
      tap_(std::move(tap)),
      input_(std::move(input)),
      parent_(parent),
      ending_(std::move(ending)),
      exit_(std::move(exit)) {}

void Controller::handle(const Command& command) {
    if (ended_) return;
    if (env_.text.equal(command.word, "SYSTEM")) {
        switchTo(Mode::System);
    } else if (env_.text.equal(command.word, "INPUT")) {
        switchTo(Mode::Input, command.argument);
    } else if (env_.text.equal(command.word, "LIST")) {
        audio::emitDevices(env_);
    } else {
        env_.log.log("unknown cmd: " + command.line);
    }
}

void Controller::switchTo(Mode target, const std::optional<std::string>& uid) {
    if (target == Mode::Input) {
        switchToInput(uid);
    } else {
        switchToSystem();
    }
}

void Controller::switchToInput(const std::optional<std::string>& uid) {
    if (!uid || uid->empty()) {
        env_.log.line("  x INPUT needs a device uid\n");
        return;
    }
    if (mode_ == Mode::System) tap_->teardown();
    input_->stop();
    if (input_->start(*uid)) {
        mode_ = Mode::Input;
        env_.log.log("  > input capture started: " + *uid);
        return;
    }
    env_.log.line("  x input start failed; restoring system\n");
    // A build that stopped part-way earlier may have left a tap behind; never leak it.
    tap_->teardown();
    if (tap_->build()) mode_ = Mode::System;
}

void Controller::switchToSystem() {
    if (mode_ == Mode::Input) input_->stop();
    tap_->teardown();
    if (tap_->build()) {
        mode_ = Mode::System;
        env_.log.line("  > system tap started\n");
    } else {
        env_.log.line("  x system tap build failed\n");
    }
}

void Controller::watchdogTick() {
    if (ended_) return;
    if (parent_.parentGone()) {
        terminate();
        return;
    }
    if (mode_ != Mode::System) return;
    const capture::Tap::Counters counters = tap_->counters();
    if (!(zeroThreshold_ < counters.totalFrames && zeroThreshold_ < counters.zeroFrames)) return;

    env_.log.log("  ! tap went silent (" + formatInt(counters.zeroFrames) + " zero-frames) - rebuilding");
    tap_->teardown();
    if (tap_->build()) {
        env_.log.line("  > tap rebuilt\n");
    } else {
        env_.log.line("  x rebuild failed; retrying next tick\n");
    }
}

void Controller::terminate() {
    if (ended_) return;
    ended_ = true;
    if (ending_) ending_();
    tap_->teardown();
    input_->stop();
    exit_(0);
}

}  // namespace lumvar::app
