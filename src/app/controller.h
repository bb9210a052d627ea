#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "app/command.h"
#include "app/device_watch.h"
#include "app/main_queue.h"
#include "app/parent_probe.h"
#include "audio/audio_env.h"
#include "audio/input_device.h"
#include "capture/call_capture.h"
#include "capture/input_capture.h"
#include "capture/tap.h"
#include "common/memory_sink.h"

namespace lumvar::app {

enum class Mode { System, Input, Call };

// The process-wide state and everything that changes it: commands, source switching, the watchdog
// tick, the machine's changes and termination. Runs only on the main queue, so nothing here needs a
// lock, and every status line it writes is written between work items, never inside another's lines.
class Controller {
  public:
    // Sample values of unbroken silence (240 s of 48 kHz stereo) after which the tap is rebuilt.
    static constexpr std::int64_t kZeroThreshold = 23'040'000;
    // A source that has delivered IO callbacks and then none for this long has stalled.
    static constexpr std::chrono::seconds kStall{3};
    // Ticks further apart than this had the machine asleep between them (a clock that counts sleep,
    // as Apple's steady clock does): the stall count starts again.
    static constexpr std::chrono::seconds kResumed{4};

    struct Deps {
        audio::AudioEnv env;
        std::shared_ptr<capture::Tap> tap;
        std::shared_ptr<capture::InputCapture> input;
        std::shared_ptr<capture::CallCapture> call;
        ParentProbe& parent;
        DeviceWatch& watch;
        std::function<MainQueue::Clock::time_point()> now;
        // Told first when the end begins (may be empty); `exit` ends the process with a status once
        // everything is released. Each is called at most once.
        std::function<void()> ending;
        std::function<void(int status)> exit;
    };

    explicit Controller(Deps deps);

    void handle(const Command& command);
    void switchTo(Mode target, const std::optional<std::string>& uid = std::nullopt);
    // Writes the device-list message and remembers the set it named.
    void listDevices();
    void watchdogTick();
    // Start-up: listens to the machine from now on (where the platform can tell).
    void startWatching();
    void handleDeviceEvents(const DeviceEvents& events);

    // Releases every audio object and listener and ends the process with `status` (2 after a failed
    // write to standard output, 0 for every other end).
    void terminate(int status = 0);

    // Whether the end has begun: from then on nothing but the clean-up runs.
    bool ended() const { return ended_; }
    Mode mode() const { return mode_; }
    std::int64_t zeroThreshold() const { return zeroThreshold_; }
    void setZeroThreshold(std::int64_t threshold) { zeroThreshold_ = threshold; }

  private:
    // The input devices as the parent was last told of them: their UIDs and the default's.
    struct InputSet {
        std::set<std::string> uids;
        std::string defaultUid;
        bool operator==(const InputSet&) const = default;
        static InputSet of(const std::vector<audio::InputDevice>& devices);
    };

    void switchToInput(const std::optional<std::string>& uid);
    void switchToCall(const std::optional<std::string>& uid);
    // The lines of a call that started, or of one that failed and the system tap after it.
    void callStarted(bool started, const std::string& uid);
    bool switchToSystem();
    bool fallBackToSystem(bool announce);
    void rebuildTap(std::string_view reasonLine, std::string_view failedLine);
    // A rebuild the machine caused: `reasonLine`, the build, "> tap rebuilt" or the retry line.
    void rebuildForTheMachine(std::string_view reasonLine);
    // The build of a machine-caused rebuild or of its retry; a retry that would write word for word
    // what the last attempt wrote (`quietWhenRepeated`) writes nothing.
    void retryOrRebuild(bool quietWhenRepeated);
    void sayUnlessRepeated(std::vector<std::string> lines, bool quietWhenRepeated);
    // The one attempt a change of the machine is worth while nothing runs; if it fails, the ticks go on.
    bool tryTheMachinesChange();
    void inputLost();
    // A call's microphone died or stalled: its channel stays silent.
    void callInputLost();
    // A call's system part: `reasonLine`, the build, then "> tap rebuilt" or the retry line.
    void rebuildCallSystem(std::string_view reasonLine);
    // The tick's (or a change's) try at a call's system part that could not be built; a failure that
    // says what the last one said says nothing.
    void retryCallSystem();
    void callSystemUnavailable();
    // The audio system's daemon started again: every id is void; the running source starts afresh.
    void audioSystemRestarted();
    // The running source's device died: rebuilt, or the input given up for the system tap.
    void sourceDied();
    bool nothingRuns() const;
    bool checkStall();
    bool checkCallStalls();
    bool dead(audio::AudioObjectID device);
    bool deviceInUseDied();
    bool defaultOutputMoved();
    void checkInputSet();
    bool otherDevicesChanged();
    // Writes the server's line when its reachability changed; returns whether it did.
    bool checkServer();
    bool serverReachable();
    // At the end of every work item: the listeners follow the devices in use, which are read once.
    void settle();
    // After every work item: the alive listeners follow the devices in use.
    void followDevicesInUse();

    Deps deps_;
    audio::AudioEnv& env_;
    capture::Tap& tap_;
    capture::InputCapture& input_;
    capture::CallCapture& call_;
    Mode mode_ = Mode::System;
    std::int64_t zeroThreshold_ = kZeroThreshold;
    bool ended_ = false;
    InputSet knownInputs_;
    // The devices but our own aggregates, at the last look.
    std::set<audio::AudioObjectID> knownDevices_;
    bool serverReachable_ = true;           // it was, for start-up to succeed
    bool retryPending_ = false;             // a rebuild the machine caused failed: the ticks try again
    bool callRetry_ = false;                // a call's system part could not be built: the ticks try again
    std::vector<std::string> lastAttempt_;  // the lines of the last such attempt
    bool attempted_ = false;                // this work item has tried to start a source
    NullSink quietSink_;  // for listings that only compare, without the listing's failure lines
    StatusLog quietLog_{quietSink_};
    // The stall watch of a source (or of a call's part): which registration was seen delivering, how far,
    // and when it last moved on.
    struct StallWatch {
        audio::AudioDeviceIOProcID source = nullptr;
        std::uint64_t cycles = 0;
        MainQueue::Clock::time_point since{};
        // Whether `source`, at `cycles` callbacks by `now`, has delivered before and none for kStall.
        // Not delivering yet is waiting, not stalling: the first IO may wait until something plays.
        bool stalled(audio::AudioDeviceIOProcID now_source, std::uint64_t now_cycles,
                     MainQueue::Clock::time_point now);
    };
    StallWatch sourceWatch_;
    StallWatch micWatch_;
    std::optional<MainQueue::Clock::time_point> lastTick_;
};

}  // namespace lumvar::app
