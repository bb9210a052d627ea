#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>

#include "app/parent_probe.h"

namespace lumvar::app {

// Makes sure the process is gone soon after its end has begun, whatever blocks the clean-up (a parent
// that reads neither output, a platform call that never returns). Its thread also looks for the
// parent's end every 2 s on its own, so a main queue that is stuck cannot hide it.
class TerminationDeadline {
  public:
    using Clock = std::chrono::steady_clock;
    // From the end's beginning to the process's death, at the latest.
    static constexpr std::chrono::milliseconds kGrace{1500};
    // What the last drain of standard output may take, within the grace.
    static constexpr std::chrono::milliseconds kDrain{1000};
    static constexpr std::chrono::seconds kParentPoll{2};

    // `parentGone` is told (from the deadline's thread) when the parent's end is seen there. `die` ends
    // the process by a signal; the default ends it as the signal's default action would.
    TerminationDeadline(ParentProbe& parent, std::function<void()> parentGone,
                        std::function<void(int signal)> die = dieBy);

    // Starts the thread; it is never joined.
    void start();

    // From any thread: the end has begun. The first call sets the deadline and the signal that ends
    // the process when the deadline passes; later calls change nothing.
    void arm(int signal);

    // When the last drain of standard output must stop: kDrain from now, but always within the grace.
    Clock::time_point drainDeadline() const;

    // Ends the process as `signal`'s default action would, even when that signal is blocked or handled.
    [[noreturn]] static void dieBy(int signal);

  private:
    // The thread's work: returns, at the deadline, the signal to die by.
    int watch();

    ParentProbe& parent_;
    std::function<void()> parentGone_;
    std::function<void(int)> die_;
    mutable std::mutex mutex_;
    std::condition_variable armed_;
    std::optional<Clock::time_point> armedAt_;
    int signal_ = 0;
};

}  // namespace lumvar::app
