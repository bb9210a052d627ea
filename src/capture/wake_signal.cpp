#include "capture/wake_signal.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <ctime>
#endif

namespace lumvar::capture {

#if defined(__linux__)
WakeSignal::WakeSignal() = default;
WakeSignal::~WakeSignal() = default;
#else
WakeSignal::WakeSignal() {
    if (::pipe(fds_) != 0) return;
    for (const int fd : fds_) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
    }
}
WakeSignal::~WakeSignal() {
    for (const int fd : fds_)
        if (fd >= 0) ::close(fd);
}
#endif

void WakeSignal::notify() noexcept {
    // Both sides swap the flag: if this swap comes after the waiter's, it finds the waiter asleep and
    // wakes it; if it comes before, the waiter's swap reads what this one wrote and so sees everything
    // published before this call. No fence is needed on the audio thread.
    if (sleeping_.exchange(kAwake, std::memory_order_acq_rel) != kAwake) wake();
}

bool WakeSignal::notifyUnlessPatient() noexcept {
    // A read-modify-write like notify()'s swap, which keeps a patient waiter's word as it is: the
    // waiter's swap before its last look then still sees everything published before this call.
    std::uint32_t seen = sleeping_.load(std::memory_order_relaxed);
    while (!sleeping_.compare_exchange_weak(seen, seen == kPatient ? kPatient : kAwake,
                                            std::memory_order_acq_rel, std::memory_order_relaxed)) {
    }
    if (seen == kSleeping) wake();
    return seen != kPatient;
}

void WakeSignal::wake() noexcept {
#if defined(__linux__)
    ::syscall(SYS_futex, &sleeping_, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
#else
    const char byte = 1;
    (void)!::write(fds_[1], &byte, 1);  // a full pipe already holds a wake-up
#endif
}

bool WakeSignal::waitUntil(const std::function<bool()>& ready, std::chrono::milliseconds timeout,
                           bool patient) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const std::uint32_t asleep = patient ? kPatient : kSleeping;
    for (;;) {
        sleeping_.exchange(asleep, std::memory_order_acq_rel);
        if (ready()) {
            sleeping_.store(kAwake, std::memory_order_relaxed);
            return true;
        }
        const auto left =
            std::min<std::chrono::milliseconds>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                    deadline - std::chrono::steady_clock::now()),
                                                std::chrono::minutes(1));
        if (left.count() <= 0) {
            sleeping_.store(kAwake, std::memory_order_relaxed);
            return false;
        }
#if defined(__linux__)
        // Returns at once when a notify() has cleared the word since the swap above.
        const timespec wait{static_cast<time_t>(left.count() / 1000),
                            static_cast<long>(left.count() % 1000) * 1'000'000};
        ::syscall(SYS_futex, &sleeping_, FUTEX_WAIT_PRIVATE, asleep, &wait, nullptr, 0);
#else
        pollfd waiting{fds_[0], POLLIN, 0};
        if (::poll(&waiting, 1, static_cast<int>(left.count()) + 1) > 0) {
            char bytes[64];
            while (::read(fds_[0], bytes, sizeof bytes) > 0) {
            }
        }
#endif
    }
}

}  // namespace lumvar::capture
