#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

namespace lumvar::capture {

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
    // notify(), except that a waiter sleeping patiently (see waitUntil) is left to its deadline; then
    // returns false. Never makes a system call for a patient waiter.
    bool notifyUnlessPatient() noexcept;

    // The one waiter: returns as soon as `ready` holds, or false once `timeout` has passed without it.
    // A notify() that comes between the waiter's last look and its sleep still wakes it. A patient
    // waiter may also be left asleep by notifyUnlessPatient() until `timeout`.
    bool waitUntil(const std::function<bool()>& ready, std::chrono::milliseconds timeout,
                   bool patient = false);

  private:
#if !defined(__linux__)
    int fds_[2] = {-1, -1};  // read end, write end (non-blocking)
#endif
    static constexpr std::uint32_t kAwake = 0, kSleeping = 1, kPatient = 2;
    std::atomic<std::uint32_t> sleeping_{kAwake};  // how the waiter sleeps; on Linux the futex word
    void wake() noexcept;
};

}  // namespace lumvar::capture
