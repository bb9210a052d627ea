#pragma once

#include <atomic>
#include <thread>

namespace lumvar::capture {

// Keeps a source's IO callback from running once the source has stopped or gone. Not every platform
// promises that stopping a device waits for a callback already running on its IO thread: close()
// waits that one out and turns away any that come later, so the output ring keeps a single producer
// from one source to the next and no callback touches a source after its destruction.
// One gate serves one registered callback, which the platform never runs on two threads at once. The
// IO side is one atomic exchange and plain loads and stores: no lock, no system call.
class CallbackGate {
  public:
    // IO thread: whether the callback may run. A true answer must be followed by leave().
    bool enter() noexcept {
        busy_.store(true, std::memory_order_seq_cst);
        if (open_.load(std::memory_order_seq_cst)) return true;
        leave();
        return false;
    }
    void leave() noexcept { busy_.store(false, std::memory_order_release); }

    // Returns once the callback is not running and can no longer start: at most the rest of one cycle.
    void close() noexcept {
        open_.store(false, std::memory_order_seq_cst);
        while (busy_.load(std::memory_order_seq_cst)) std::this_thread::yield();
    }

  private:
    std::atomic<bool> open_{true};
    std::atomic<bool> busy_{false};
};

}  // namespace lumvar::capture
