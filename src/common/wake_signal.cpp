#include "common/wake_signal.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>

namespace lumvar {
namespace {

void setFlags(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
}

}  // namespace

WakeSignal::WakeSignal() {
    if (::pipe(fds_) == 0) {
        setFlags(fds_[0]);
        setFlags(fds_[1]);
    }
}

WakeSignal::~WakeSignal() {
    for (const int fd : fds_)
        if (fd >= 0) ::close(fd);
}

void WakeSignal::notify() noexcept {
    // Both sides swap the flag: if this swap comes after the waiter's, it finds the waiter asleep and
    // writes; if it comes before, the waiter's swap reads what this one wrote and so sees everything
    // published before this call. No fence is needed on the audio thread.
    if (!sleeping_.exchange(false, std::memory_order_acq_rel)) return;
    const char byte = 1;
    (void)!::write(fds_[1], &byte, 1);  // a full pipe already holds a wake-up
}

bool WakeSignal::waitUntil(const std::function<bool()>& ready, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        sleeping_.exchange(true, std::memory_order_acq_rel);
        if (ready()) {
            sleeping_.store(false, std::memory_order_relaxed);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            sleeping_.store(false, std::memory_order_relaxed);
            return false;
        }
        pollfd waiting{fds_[0], POLLIN, 0};
        if (::poll(&waiting, 1, static_cast<int>(std::min<long long>(left.count() + 1, 60'000))) > 0) {
            char bytes[64];
            while (::read(fds_[0], bytes, sizeof bytes) > 0) {
            }
        }
    }
}

}  // namespace lumvar
