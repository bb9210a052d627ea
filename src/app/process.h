#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "app/controller.h"
#include "app/device_watch.h"
#include "app/main_queue.h"
#include "capture/sample_output.h"
#include "common/sleeper.h"
#include "common/uuid.h"

namespace lumvar::app {

// The helper as a whole, minus its threads: start-up in its fixed order, and the entry points through
// which the command reader, the signal watcher, the output writer and a broken standard output reach
// the main queue. Every status line is written on the main queue.
class Process {
  public:
    struct Deps {
        audio::PlatformAudio& hw;
        capture::SampleOutput& output;
        ByteSink& err;
        const Text& text;
        Sleeper& sleeper;
        UuidSource& uuids;
        ParentProbe& parent;
        MainQueue& queue;
        // Told, from any thread, as soon as the end begins, with the signal that ends the process should
        // the clean-up not finish in time. May be empty.
        std::function<void(int signal)> ending;
    };
    // Hooks that start-up calls at their places in the sequence; either may be empty.
    struct Hooks {
        std::function<void()> startCommandReader;
        std::function<void()> installSignalHandling;
    };

    static constexpr std::chrono::seconds kWatchdogPeriod{2};
    // Commands queued beyond this hold the reader back, so a flood on standard input pushes back on
    // the parent's pipe instead of growing the process.
    static constexpr std::size_t kMaxQueuedCommands = 1000;
    // And beyond this much command text (a line of 64 KiB of bytes that are no UTF-8 is 192 KiB repaired).
    static constexpr std::size_t kMaxQueuedBytes = 4 << 20;
    // The exit status after a write to standard output failed for another reason than a closed pipe.
    static constexpr int kOutputFailedStatus = 2;

    explicit Process(Deps deps);

    // Builds the tap, lists the devices, writes the banner, starts the reader, the watchdog timer, the
    // listeners on the machine and the signal handling. Returns false after "initial tap build failed" when
    // the first build fails; nothing after the build has started then.
    bool start(const Hooks& hooks);

    // The command reader's side; both wait while kMaxQueuedCommands, or kMaxQueuedBytes of text, are queued.
    // `line` is a command line as commandLine() gives it.
    void post(std::string line);
    void reportOverlong(std::size_t bytes);

    // From any thread: ends the process cleanly; `signal` is the one that ends it should that stall.
    void requestTermination(int signal);
    // From the output writer, on the first failed write to standard output: a reader that went away
    // (EPIPE) ends the process as a signal does, any other error with its status line and
    // kOutputFailedStatus.
    void outputFailed(int error);
    // From the output writer: a drop episode is over, or the capture has a notice for the log.
    void outputNotice();

    Controller& controller() { return controller_; }

  private:
    void enqueueCommand(std::function<void()> work, std::size_t bytes = 0);
    void serviceOutput();
    std::string segmentLine(const capture::SegmentStart& start);

    StatusLog log_;
    audio::AudioEnv env_;
    MainQueue& queue_;
    capture::SampleOutput& output_;
    std::function<void(int)> ending_;
    std::shared_ptr<capture::Tap> tap_;
    std::shared_ptr<capture::InputCapture> input_;
    std::shared_ptr<capture::CallCapture> call_;
    DeviceWatch watch_;
    Controller controller_;
    std::atomic<bool> outputGone_{false};

    std::mutex queuedMutex_;
    std::condition_variable queuedBelowLimit_;
    std::size_t queued_ = 0;
    std::size_t queuedBytes_ = 0;
};

}  // namespace lumvar::app
