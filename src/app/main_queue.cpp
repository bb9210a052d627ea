#include "app/main_queue.h"

namespace lumvar::app {

MainQueue::MainQueue(std::function<Clock::time_point()> now) : now_(std::move(now)) {}

void MainQueue::post(std::function<void()> work) {
    {
        std::lock_guard guard(mutex_);
        items_.push_back(std::move(work));
    }
    wake_.notify_one();
}

void MainQueue::postFirst(std::function<void()> work) {
    {
        std::lock_guard guard(mutex_);
        items_.push_front(std::move(work));
    }
    wake_.notify_one();
}

void MainQueue::postAfter(Clock::duration delay, std::function<void()> work) {
    {
        std::lock_guard guard(mutex_);
        delayed_.emplace(now_() + delay, std::move(work));
    }
    wake_.notify_one();
}

void MainQueue::startTimer(Clock::duration period, std::function<void()> work) {
    {
        std::lock_guard guard(mutex_);
        timer_ = Timer{now_(), period, 1, std::move(work)};
    }
    wake_.notify_one();
}

void MainQueue::enqueueDue(Clock::time_point now) {
    while (!delayed_.empty() && delayed_.begin()->first <= now) {
        items_.push_back(std::move(delayed_.begin()->second));
        delayed_.erase(delayed_.begin());
    }
    if (!timer_ || now < timer_->deadline()) return;
    items_.push_back(timer_->work);
    // Skip deadlines that passed while the queue was busy, staying on the original grid.
    const auto elapsed = now - timer_->start;
    timer_->next = elapsed / timer_->period + 1;
}

std::optional<MainQueue::Clock::time_point> MainQueue::nextDeadline() const {
    std::optional<Clock::time_point> next;
    if (timer_) next = timer_->deadline();
    if (!delayed_.empty() && (!next || delayed_.begin()->first < *next)) next = delayed_.begin()->first;
    return next;
}

int MainQueue::run() {
    std::unique_lock lock(mutex_);
    while (!stopStatus_) {
        enqueueDue(now_());
        if (!items_.empty()) {
            auto work = std::move(items_.front());
            items_.pop_front();
            lock.unlock();
            work();
            if (afterEach_) afterEach_();
            lock.lock();
            continue;
        }
        if (const auto next = nextDeadline()) {
            wake_.wait_until(lock, *next);
        } else {
            wake_.wait(lock);
        }
    }
    return *stopStatus_;
}

void MainQueue::stop(int status) {
    {
        std::lock_guard guard(mutex_);
        if (!stopStatus_) stopStatus_ = status;
    }
    wake_.notify_all();
}

std::optional<int> MainQueue::stopStatus() const {
    std::lock_guard guard(mutex_);
    return stopStatus_;
}

std::size_t MainQueue::runPending() {
    std::size_t ran = 0;
    std::unique_lock lock(mutex_);
    enqueueDue(now_());
    std::size_t budget = items_.size();  // items posted while these run wait for the next call
    while (budget-- > 0 && !items_.empty() && !stopStatus_) {
        auto work = std::move(items_.front());
        items_.pop_front();
        lock.unlock();
        work();
        if (afterEach_) afterEach_();
        ++ran;
        lock.lock();
    }
    return ran;
}

}  // namespace lumvar::app
