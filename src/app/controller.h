#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "app/command.h"
#include "app/parent_probe.h"
#include "audio/audio_env.h"
#include "capture/input_capture.h"
#include "capture/tap.h"

namespace lumvar::app {

enum class Mode { System, Input };

// The process-wide state and everything that changes it: commands, source switching, the watchdog
// tick and termination. Runs only on the main queue, so nothing here needs a lock.
class Controller {
public:
    // Sample values of unbroken silence (240 s of 48 kHz stereo) after which the tap is rebuilt.
    static constexpr std::int64_t kZeroThreshold = 23'040'000;

    // `ending` is told first when the end begins (it may be empty); `exit` ends the process with a
    // status once everything is released. Each is called at most once.
    Controller(audio::AudioEnv env, std::shared_ptr<capture::Tap> tap, std::shared_ptr<capture::InputCapture> input,
               ParentProbe& parent, std::function<void()> ending, std::function<void(int status)> exit);

    void handle(const Command& command);
    void switchTo(Mode target, const std::optional<std::string>& uid = std::nullopt);
    void watchdogTick();

    // Releases every audio object and ends the process with status 0.
    void terminate();

    // Whether the end has begun: from then on nothing but the clean-up runs.
    bool ended() const { return ended_; }
    Mode mode() const { return mode_; }
    std::int64_t zeroThreshold() const { return zeroThreshold_; }
    void setZeroThreshold(std::int64_t threshold) { zeroThreshold_ = threshold; }

private:
    void switchToInput(const std::optional<std::string>& uid);
    void switchToSystem();

    audio::AudioEnv env_;
    std::shared_ptr<capture::Tap> tap_;
    std::shared_ptr<capture::InputCapture> input_;
    ParentProbe& parent_;
    std::function<void()> ending_;
    std::function<void(int)> exit_;
    Mode mode_ = Mode::System;
    std::int64_t zeroThreshold_ = kZeroThreshold;
    bool ended_ = false;
};

}  // namespace lumvar::app
