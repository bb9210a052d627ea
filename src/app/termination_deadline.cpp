#include "app/termination_deadline.h"

#include <pthread.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <thread>

namespace lumvar::app {

TerminationDeadline::TerminationDeadline(ParentProbe& parent, std::function<void()> parentGone,
                                         std::function<void(int signal)> die)
    : parent_(parent), parentGone_(std::move(parentGone)), die_(std::move(die)) {}

void TerminationDeadline::start() {
    std::thread([this] { die_(watch()); }).detach();
}

void TerminationDeadline::arm(int signal) {
    {
        std::lock_guard guard(mutex_);
        if (armedAt_) return;
        armedAt_ = Clock::now();
        signal_ = signal;
    }
    armed_.notify_all();
}

TerminationDeadline::Clock::time_point TerminationDeadline::drainDeadline() const {
    const auto drainEnd = Clock::now() + kDrain;
    std::lock_guard guard(mutex_);
    if (!armedAt_) return drainEnd;
    // Leave room before the grace ends for the clean exit that follows the drain.
    return std::min(drainEnd, *armedAt_ + kGrace - std::chrono::milliseconds(100));
}

int TerminationDeadline::watch() {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (armedAt_) {
            const auto deadline = *armedAt_ + kGrace;
            while (Clock::now() < deadline) armed_.wait_until(lock, deadline);
            return signal_;
        }
        if (armed_.wait_for(lock, kParentPoll, [this] { return armedAt_.has_value(); })) continue;
        lock.unlock();
        if (parent_.parentGone()) {
            arm(SIGTERM);
            if (parentGone_) parentGone_();
        }
        lock.lock();
    }
}

void TerminationDeadline::dieBy(int signal) {
    std::signal(signal, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(signal);
    ::_exit(128 + signal);  // not reached: the default action of every signal used here ends the process
}

}  // namespace lumvar::app
