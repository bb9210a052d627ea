#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "app/controller.h"
#include "app/main_queue.h"
#include "common/sleeper.h"
#include "common/uuid.h"

namespace lumvar::app {

// The helper as a whole, minus its threads: start-up in its fixed order, and the entry points through
// which the command reader, the signal watcher and a broken standard output reach the main queue.
class Process {
public:
    struct Deps {
        audio::PlatformAudio& hw;
        ByteSink& out;
        ByteSink& err;
        const Text& text;
        Sleeper& sleeper;
        UuidSource& uuids;
        ParentProbe& parent;
        MainQueue& queue;
    };
    // Hooks that start-up calls at their places in the sequence; either may be empty.
    struct Hooks {
        std::function<void()> startCommandReader;
        std::function<void()> installSignalHandling;
    };

    static constexpr std::chrono::seconds kWatchdogPeriod{2};

    explicit Process(Deps deps);

    // Builds the tap, lists the devices, writes the banner, starts the reader, the watchdog timer and
    // the signal handling. Returns false after "initial tap build failed" when the first build fails;
    // nothing after the build has started then.
    bool start(const Hooks& hooks);

    // From any thread.
    void post(Command command);
    void requestTermination();
    // Safe on an audio IO thread: posts the termination once, for a reader of standard output that went away.
    void outputFailed(int error);

    Controller& controller() { return controller_; }
    capture::Tap& tap() { return *tap_; }
    capture::InputCapture& input() { return *input_; }

private:
    StatusLog log_;
    audio::AudioEnv env_;
    MainQueue& queue_;
    std::shared_ptr<capture::Tap> tap_;
    std::shared_ptr<capture::InputCapture> input_;
    Controller controller_;
    std::atomic<bool> outputGone_{false};
};

}  // namespace lumvar::app
