#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>

namespace lumvar::app {

// The one serial queue, served by the main thread: work items run one at a time in the order posted.
// It also carries one repeating timer whose deadlines never drift (deadline k = start + k x period);
// a due deadline posts the timer's work like any other item, and deadlines missed while a long item
// ran are coalesced into one.
class MainQueue {
  public:
    using Clock = std::chrono::steady_clock;

    // `now` is read for timer deadlines; run() waits in real time, so only runPending() may be given a
    // clock of a test's own.
    explicit MainQueue(std::function<Clock::time_point()> now = Clock::now);

    // The queue's clock (a test's own, where it has one).
    Clock::time_point now() const { return now_(); }

    // From any thread, without waiting.
    void post(std::function<void()> work);
    // Ahead of everything already queued (termination, which must not wait behind commands).
    void postFirst(std::function<void()> work);
    // From any thread: queued once `delay` has passed, behind what is queued by then.
    void postAfter(Clock::duration delay, std::function<void()> work);

    // The first deadline is one period from now.
    void startTimer(Clock::duration period, std::function<void()> work);

    // Runs on the queue's thread after every item (the lines of an item are handed on as one).
    void setAfterEachItem(std::function<void()> hook) { afterEach_ = std::move(hook); }

    // Serves the queue until stop(); returns the status given to stop().
    int run();
    // From any thread: run() returns once the item in progress, if any, has finished.
    void stop(int status);

    // For tests: runs what is queued now and what the clock says is due, without waiting.
    // Returns how many items ran.
    std::size_t runPending();

    // The status given to stop(), once it has been called.
    std::optional<int> stopStatus() const;

  private:
    // Moves a due timer deadline and due delayed items into the queue. Caller holds mutex_.
    void enqueueDue(Clock::time_point now);
    // When run() must wake next without a post. Caller holds mutex_.
    std::optional<Clock::time_point> nextDeadline() const;

    std::function<Clock::time_point()> now_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> items_;
    std::multimap<Clock::time_point, std::function<void()>> delayed_;
    std::optional<int> stopStatus_;
    std::function<void()> afterEach_;

    struct Timer {
        Clock::time_point start;
        Clock::duration period;
        long long next = 1;  // index of the next deadline
        std::function<void()> work;
        Clock::time_point deadline() const { return start + period * next; }
    };
    std::optional<Timer> timer_;
};

}  // namespace lumvar::app
