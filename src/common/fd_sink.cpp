#include "common/fd_sink.h"

#include <unistd.h>
#include <cerrno>

namespace lumvar {

bool FdSink::write(std::span<const std::byte> bytes) {
    const std::byte* next = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd_, next, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
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
