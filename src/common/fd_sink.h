#pragma once

#include <atomic>
#include <functional>

#include "common/byte_sink.h"

namespace lumvar {

// Writes each chunk to a file descriptor with one write(2) in the usual case, looping over partial
// writes and EINTR so that a chunk is never cut short by anything but a real failure. A descriptor
// in non-blocking mode that is full (EAGAIN) is waited on with poll(2) until it takes bytes again, so
// it behaves as a blocking one: nothing is dropped, and only the writing thread waits.
class FdSink final : public ByteSink {
  public:
    // Called on the writing thread with errno of each failed write; it must be quick and must not
    // block, since the writer may be an audio IO thread.
    using FailureHandler = std::function<void(int error)>;

    explicit FdSink(int fd) : fd_(fd) {}

    // Must be set before the first write that may fail; not changed afterwards.
    void onFailure(FailureHandler handler) { handler_ = std::move(handler); }

    bool write(std::span<const std::byte> bytes) override;
    using ByteSink::write;

    bool failed() const { return failed_.load(std::memory_order_acquire); }

  private:
    int fd_;
    FailureHandler handler_;
    std::atomic<bool> failed_{false};
};

}  // namespace lumvar
