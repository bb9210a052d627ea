#include "common/fd_sink.h"

#include <poll.h>
#include <unistd.h>
#include <cerrno>

namespace lumvar {
namespace {

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;  // the same number on Linux, not everywhere
}

// Waits until `fd` takes bytes again (or reports why it never will, which the next write then says).
// Returns 0, or errno of a poll that failed.
int waitWritable(int fd) {
    pollfd entry{fd, POLLOUT, 0};
    for (;;) {
        if (::poll(&entry, 1, -1) >= 0) return 0;
        if (errno != EINTR) return errno;
    }
}

}  // namespace

bool FdSink::write(std::span<const std::byte> bytes) {
    const std::byte* next = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd_, next, left);
        if (written < 0) {
            int error = errno;
            if (error == EINTR) continue;
            // A descriptor the parent made non-blocking is waited on as a blocking one would be.
            if (wouldBlock(error) && (error = waitWritable(fd_)) == 0) continue;
            failed_.store(true, std::memory_order_release);
            if (handler_) handler_(error);
            return false;
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace lumvar
