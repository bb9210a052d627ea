#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

namespace lumvar {

// Wakes one waiting thread from any thread, a real-time audio thread included: notify() never blocks,
// never allocates and makes a system call (a futex wake on Linux, a non-blocking pipe write elsewhere)
// only when the waiter sleeps.
class WakeSignal {
  public:
    WakeSignal();
    ~WakeSignal();
    WakeSignal(const WakeSignal&) = delete;
    WakeSignal& operator=(const WakeSignal&) = delete;

    // Callers publish what the waiter looks for (with release or stronger) before they notify.
    void notify() noexcept;

    // The one waiter: returns as soon as `ready` holds, or false once `timeout` has passed without it.
    // A notify() that comes between the waiter's last look and its sleep still wakes it.
    bool waitUntil(const std::function<bool()>& ready, std::chrono::milliseconds timeout);

  private:
#if !defined(__linux__)
    int fds_[2] = {-1, -1};  // read end, write end (non-blocking)
#endif
    std::atomic<std::uint32_t> sleeping_{0};  // 1 while the waiter sleeps; on Linux the futex word
};

}  // namespace lumvar
