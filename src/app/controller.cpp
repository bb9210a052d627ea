#include "app/controller.h"

#include "audio/audio_properties.h"
#include "audio/device_list.h"
#include "audio/property_queries.h"
#include "common/number_format.h"

namespace lumvar::app {

Controller::Controller(Deps deps)
    : deps_(std::move(deps)), env_(deps_.env), tap_(*deps_.tap), input_(*deps_.input), call_(*deps_.call) {}

void Controller::handle(const Command& command) {
    if (ended_) return;
    attempted_ = false;
    if (env_.text.equal(command.word, "SYSTEM")) {
        retryPending_ = false;  // the parent decides now; a failure of its own is not retried
        switchTo(Mode::System);
    } else if (env_.text.equal(command.word, "INPUT")) {
        if (command.argument && !command.argument->empty()) retryPending_ = false;
        switchTo(Mode::Input, command.argument);
    } else if (env_.text.equal(command.word, "CALL")) {
        if (command.argument && !command.argument->empty()) retryPending_ = false;
        switchToCall(command.argument);
    } else if (env_.text.equal(command.word, "LIST")) {
        listDevices();
    } else {
        env_.log.log("unknown cmd: " + oneLine(command.line));
    }
    settle();
}

void Controller::switchTo(Mode target, const std::optional<std::string>& uid) {
    if (target == Mode::Input) {
        switchToInput(uid);
    } else {
        switchToSystem();
    }
}

void Controller::listDevices() {
    knownInputs_ = InputSet::of(audio::emitDevices(env_));
#ifdef LUMVAR_DEBUG_NOTIFICATIONS
    // Only in a build for scripts/mac-check, which counts the notifications around one SYSTEM.
    env_.log.log("  device-list notifications: " +
                 formatInt(static_cast<std::int64_t>(deps_.watch.deviceListNotifications())));
#endif
}

void Controller::switchToInput(const std::optional<std::string>& uid) {
    if (!uid || uid->empty()) {
        env_.log.log("  x INPUT needs a device uid");
        return;
    }
    call_.stop();
    if (mode_ == Mode::System) tap_.teardown();
    input_.stop();
    attempted_ = true;
    if (input_.start(*uid)) {
        mode_ = Mode::Input;
        env_.log.log("  > input capture started: " + oneLine(*uid));
        // The stream carries no rate: this is how the parent learns it.
        env_.log.log("  input device rate: " + formatDouble(input_.rate()));
        return;
    }
    env_.log.log("  x input start failed; restoring system");
    fallBackToSystem(true);
}

void Controller::switchToCall(const std::optional<std::string>& uid) {
    if (!uid || uid->empty()) {
        env_.log.log("  x CALL needs a device uid");
        return;
    }
    call_.stop();  // a call replaces a call, even of the same microphone
    tap_.teardown();
    input_.stop();
    attempted_ = true;
    callStarted(call_.start(*uid), *uid);
}

void Controller::callStarted(bool started, const std::string& uid) {
    callRetry_ = false;
    lastAttempt_.clear();
    if (started) {
        mode_ = Mode::Call;
        if (!call_.systemRunning()) callSystemUnavailable();
        env_.log.log("  > call capture started: " + oneLine(uid));
        env_.log.log("  input device rate: " + formatDouble(call_.micRate()));
        return;
    }
    env_.log.log("  x call start failed; restoring system");
    fallBackToSystem(true);
}

// The one attempt at the system tap after another source failed or went; the mode changes only if it
// works. The source changes with it: its start line says so (`announce`), unless a rebuild of the
// system tap itself is what failed before.
bool Controller::fallBackToSystem(bool announce) {
    call_.stop();
    input_.stop();
    // A build that stopped part-way earlier may have left a tap behind; never leak it.
    tap_.teardown();
    attempted_ = true;
    if (!tap_.build()) return false;
    mode_ = Mode::System;
    if (announce) env_.log.log("  > system tap started");
    return true;
}

bool Controller::switchToSystem() {
    call_.stop();
    if (mode_ == Mode::Input) input_.stop();
    tap_.teardown();
    attempted_ = true;
    if (tap_.build()) {
        mode_ = Mode::System;
        env_.log.log("  > system tap started");
        return true;
    }
    env_.log.log("  x system tap build failed");
    return false;
}

void Controller::rebuildTap(std::string_view reasonLine, std::string_view failedLine) {
    if (!reasonLine.empty()) env_.log.log(reasonLine);
    tap_.teardown();
    attempted_ = true;
    if (tap_.build()) {
        env_.log.log("  > tap rebuilt");
    } else {
        env_.log.log(failedLine);
    }
}

void Controller::rebuildForTheMachine(std::string_view reasonLine) {
    env_.log.log(reasonLine);
    retryOrRebuild(false);
}

void Controller::retryOrRebuild(bool quietWhenRepeated) {
    std::vector<std::string> lines = env_.log.capture([this] {
        if (fallBackToSystem(mode_ != Mode::System)) {
            retryPending_ = false;
            env_.log.log("  > tap rebuilt");
        } else {
            retryPending_ = true;
            env_.log.log("  x rebuild failed; retrying next tick");
        }
    });
    sayUnlessRepeated(std::move(lines), quietWhenRepeated);
}

// An outage of an hour must not fill the parent's log: a retry that says what the last one said says
// nothing.
void Controller::sayUnlessRepeated(std::vector<std::string> lines, bool quietWhenRepeated) {
    if (!quietWhenRepeated || lines != lastAttempt_)
        for (const std::string& line : lines) env_.log.log(line);
    lastAttempt_ = std::move(lines);
}

bool Controller::tryTheMachinesChange() {
    if (mode_ == Mode::Call) {
        retryCallSystem();
        return true;
    }
    retryPending_ = !switchToSystem();
    lastAttempt_.clear();
    return true;
}

void Controller::inputLost() {
    env_.log.log("  x input device lost: " + oneLine(input_.uid()) + "; restoring system");
    retryPending_ = !fallBackToSystem(true);
    lastAttempt_.clear();
}

void Controller::callInputLost() {
    env_.log.log("  ! call input lost: " + oneLine(call_.uid()) + "; its channel stays silent");
    const bool wasRunning = call_.systemRunning();
    const bool running = call_.dropMic();
    if (call_.apart()) return;
    // One clock: the aggregate was built again without the microphone.
    if (running) {
        env_.log.log("  > tap rebuilt");
    } else if (wasRunning) {
        callSystemUnavailable();
    }
}

void Controller::rebuildCallSystem(std::string_view reasonLine) {
    env_.log.log(reasonLine);
    attempted_ = true;
    if (call_.rebuildSystem()) {
        callRetry_ = false;
        env_.log.log("  > tap rebuilt");
    } else {
        callSystemUnavailable();
    }
}

void Controller::callSystemUnavailable() {
    lastAttempt_.clear();
    callRetry_ = true;
    // Apart, the microphone goes on alone; on one clock nothing of the call runs until the build works.
    env_.log.log(call_.apart() ? "  ! call system part unavailable - retrying"
                               : "  x rebuild failed; retrying next tick");
}

void Controller::retryCallSystem() {
    attempted_ = true;
    std::vector<std::string> lines = env_.log.capture([this] {
        if (call_.rebuildSystem()) {
            callRetry_ = false;
            env_.log.log("  > tap rebuilt");
        }
    });
    sayUnlessRepeated(std::move(lines), callRetry_);
}

void Controller::audioSystemRestarted() {
    env_.log.log("  ! audio system restarted - rebuilding");
    deps_.watch.restart();
    knownDevices_.clear();  // every id is new: the set is read afresh below
    otherDevicesChanged();
    attempted_ = true;
    if (mode_ == Mode::Call && call_.running()) {
        const std::string uid = call_.uid();
        call_.stop();  // its ids are void: the stop's calls fail, which changes nothing
        callStarted(call_.start(uid), uid);
        return;
    }
    if (mode_ == Mode::Input && input_.running()) {
        const std::string uid = input_.uid();
        input_.stop();  // its ids are void: the stop's calls fail, which changes nothing
        if (audio::deviceIDForUID(env_, uid) != audio::kAudioObjectUnknown && input_.start(uid)) {
            env_.log.log("  > input capture started: " + oneLine(uid));
            env_.log.log("  input device rate: " + formatDouble(input_.rate()));
            return;
        }
        env_.log.log("  x input device lost: " + oneLine(uid) + "; restoring system");
        retryPending_ = !fallBackToSystem(true);
        lastAttempt_.clear();
        return;
    }
    retryOrRebuild(false);
}

void Controller::sourceDied() {
    if (mode_ == Mode::Call) {
        if (call_.micRunning() && dead(call_.micDevice())) callInputLost();
        if (tap_.running() && (dead(tap_.outputDevice()) || dead(tap_.aggID())))
            rebuildCallSystem("  ! tap stalled - rebuilding");
        return;
    }
    if (input_.running()) {
        inputLost();
    } else {
        rebuildForTheMachine("  ! tap stalled - rebuilding");
    }
}

bool Controller::nothingRuns() const {
    return !tap_.running() && !input_.running() && !call_.micRunning();
}

void Controller::watchdogTick() {
    if (ended_) return;
    attempted_ = false;
    if (deps_.parent.parentGone()) {
        terminate();
        return;
    }
    // The server's going or return, should its notification not have come yet.
    bool acted = checkServer() && serverReachable_ && nothingRuns() && tryTheMachinesChange();
    if (!acted) acted = checkStall();
    if (!acted && deviceInUseDied()) {  // a death no notification told of
        sourceDied();
        acted = true;
    }
    if (!acted && mode_ == Mode::System) {
        const capture::Tap::Counters counters = tap_.counters();
        if (zeroThreshold_ < counters.totalFrames && zeroThreshold_ < counters.zeroFrames) {
            env_.log.log("  ! tap went silent (" + formatInt(counters.zeroFrames) +
                         " zero-frames) - rebuilding");
            rebuildTap("", "  x rebuild failed; retrying next tick");
            acted = true;
        }
    }
    // What the machine broke is tried again on every tick, where a server is there to try it on.
    if (!acted && retryPending_ && nothingRuns() && serverReachable()) retryOrRebuild(true);
    if (!acted && mode_ == Mode::Call && callRetry_ && !tap_.running() && serverReachable())
        retryCallSystem();
    settle();
}

// A source that has delivered and then stops delivering, without a word from the platform (its
// clock device went away under it), is rebuilt or given up. Returns whether it acted.
bool Controller::StallWatch::stalled(audio::AudioDeviceIOProcID nowSource, std::uint64_t nowCycles,
                                     MainQueue::Clock::time_point now) {
    if (nowSource == nullptr || nowSource != source || nowCycles == 0 || nowCycles != cycles) {
        source = nowSource;
        cycles = nowCycles;
        since = now;
        return false;
    }
    if (now - since < kStall) return false;
    source = nullptr;
    return true;
}

// A source that has delivered and then stops delivering, without a word from the platform (its
// clock device went away under it), is rebuilt or given up. Returns whether it acted.
bool Controller::checkStall() {
    const auto now = deps_.now();
    // After a sleep the first tick sees a long time without progress that was no stall.
    const bool resumed = lastTick_ && now - *lastTick_ > kResumed;
    lastTick_ = now;
    if (resumed) sourceWatch_.source = micWatch_.source = nullptr;
    if (mode_ == Mode::Call) return checkCallStalls();
    const bool input = mode_ == Mode::Input;
    if (!sourceWatch_.stalled(input ? input_.ioProcID() : tap_.ioProcID(),
                              input ? input_.ioCycles() : tap_.ioCycles(), now))
        return false;
    sourceDied();
    return true;
}

// A call's parts each have their own watch: the microphone's (where it runs on its own callback) and
// what plays.
bool Controller::checkCallStalls() {
    const auto now = deps_.now();
    bool acted = false;
    if (call_.apart() && call_.micRunning() && micWatch_.stalled(input_.ioProcID(), input_.ioCycles(), now)) {
        callInputLost();
        acted = true;
    }
    if (tap_.running() && sourceWatch_.stalled(tap_.ioProcID(), tap_.ioCycles(), now)) {
        rebuildCallSystem("  ! tap stalled - rebuilding");
        acted = true;
    }
    return acted;
}

void Controller::startWatching() {
    deps_.watch.setHandler([this](DeviceEvents events) { handleDeviceEvents(events); });
    deps_.watch.start();
    otherDevicesChanged();
    settle();
}

void Controller::handleDeviceEvents(const DeviceEvents& events) {
    if (ended_) return;
    if (events.restarted) {
        audioSystemRestarted();
        settle();
        return;
    }
    // Creating or destroying our own aggregate announces the device list too: counted as a change, a
    // build that made its aggregate and then failed would try again at every announcement of its own.
    const bool devicesChanged = events.deviceList && otherDevicesChanged();
    attempted_ = false;
    const bool serverBack = events.server && checkServer() && serverReachable_;
    // Whatever the notification, the source that runs is read afresh: a death may have come before
    // its listener did.
    if (deviceInUseDied()) {
        sourceDied();
    } else if (nothingRuns()) {
        // A change of the machine is worth one try; if it fails, the ticks go on trying.
        if (devicesChanged || events.defaultOutput || serverBack) tryTheMachinesChange();
    } else if (events.defaultOutput && mode_ == Mode::System && tap_.running() && defaultOutputMoved()) {
        rebuildForTheMachine("  ! default output changed - rebuilding");
    } else if (events.defaultOutput && mode_ == Mode::Call && tap_.running() && defaultOutputMoved()) {
        rebuildCallSystem("  ! default output changed - rebuilding");
    } else if (mode_ == Mode::Call && callRetry_ && !tap_.running() &&
               (devicesChanged || events.defaultOutput || serverBack)) {
        retryCallSystem();  // a change of the machine is worth one try before the next tick
    }
    if (devicesChanged || events.defaultInput) checkInputSet();
    if (events.rate && mode_ == Mode::Call) {
        call_.rateChanged();
    } else if (events.rate) {
        if (input_.running()) input_.rateChanged();
        tap_.rateChanged();
    }
    if (events.latency && mode_ == Mode::Call) {
        call_.latencyChanged();
    } else if (events.latency) {
        if (input_.running()) input_.latencyChanged();
        if (tap_.running()) tap_.latencyChanged();
    }
    settle();
}

bool Controller::defaultOutputMoved() {
    audio::AudioEnv quiet{env_.hw, quietLog_, env_.text};  // a failed read is the build's to report
    return audio::defaultOutputDeviceID(quiet) != tap_.outputDevice();
}

bool Controller::dead(audio::AudioObjectID device) {
    std::uint32_t alive = 0;
    std::uint32_t size = sizeof alive;
    const auto address = audio::globalAddress(audio::kAudioDevicePropertyDeviceIsAlive);
    return env_.hw.getPropertyData(device, address, size, &alive) != audio::kAudioHardwareNoError ||
           alive == 0;
}

bool Controller::deviceInUseDied() {
    const bool tapDied = tap_.running() && (dead(tap_.outputDevice()) || dead(tap_.aggID()));
    if (mode_ == Mode::Call) return tapDied || (call_.micRunning() && dead(call_.micDevice()));
    if (input_.running()) return dead(input_.devID());
    return tapDied;
}

bool Controller::checkServer() {
    const bool reachable = serverReachable();
    if (reachable == serverReachable_) return false;
    serverReachable_ = reachable;
    env_.log.log(serverReachable_ ? "  > sound server back" : "  x sound server unreachable");
    return true;
}

bool Controller::serverReachable() {
    std::uint32_t reachable = 1;  // a platform without a server is always there
    std::uint32_t size = sizeof reachable;
    env_.hw.getPropertyData(audio::kAudioObjectSystemObject,
                            audio::globalAddress(audio::kLumvarServerReachable), size, &reachable);
    return reachable != 0;
}

void Controller::checkInputSet() {
    audio::AudioEnv quiet{env_.hw, quietLog_, env_.text};  // the listing's failure lines belong to LIST
    const InputSet now = InputSet::of(audio::listInputDevices(quiet));
    if (now == knownInputs_) return;
    knownInputs_ = now;
    env_.log.log("  ! input devices changed");
}

bool Controller::otherDevicesChanged() {
    audio::AudioEnv quiet{env_.hw, quietLog_, env_.text};
    std::set<audio::AudioObjectID> now = audio::otherDeviceIDs(quiet);
    if (now == knownDevices_) return false;
    knownDevices_ = std::move(now);
    return true;
}

Controller::InputSet Controller::InputSet::of(const std::vector<audio::InputDevice>& devices) {
    InputSet set;
    for (const audio::InputDevice& device : devices) {
        set.uids.insert(device.uid);
        if (device.isDefault) set.defaultUid = device.uid;
    }
    return set;
}

void Controller::settle() {
    followDevicesInUse();
    // A source started in this item may have died before its listener was there: read it now. One
    // attempt per item at most; the next tick looks again.
    if (!ended_ && !attempted_ && deviceInUseDied()) {
        sourceDied();
        followDevicesInUse();
    }
}

void Controller::followDevicesInUse() {
    if (ended_) return;
    std::vector<audio::AudioObjectID> inUse;
    if (tap_.running()) inUse = {tap_.outputDevice(), tap_.aggID()};
    if (mode_ == Mode::Call && call_.micRunning()) inUse.push_back(call_.micDevice());
    if (mode_ != Mode::Call && input_.running()) inUse = {input_.devID()};
    deps_.watch.watchAlive(inUse);
    deps_.watch.watchRate(input_.running() && mode_ != Mode::Call ? input_.devID() : tap_.aggID());
    if (input_.running() && mode_ != Mode::Call) {
        deps_.watch.watchLatency(input_.devID(), audio::kAudioObjectPropertyScopeInput);
    } else {
        deps_.watch.watchLatency(tap_.outputDevice(), audio::kAudioObjectPropertyScopeOutput);
    }
}

void Controller::terminate(int status) {
    if (ended_) return;
    ended_ = true;
    if (deps_.ending) deps_.ending();
    deps_.watch.stop();
    call_.stop();
    tap_.teardown();
    input_.stop();
    deps_.exit(status);
}

}  // namespace lumvar::app
