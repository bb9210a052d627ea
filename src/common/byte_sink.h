#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string_view>

namespace lumvar {

// A target for bytes: standard output, standard error, or a stand-in for tests.
// One call is one chunk; a sink never splits a chunk across calls of its own reader.
class ByteSink {
  public:
    virtual ~ByteSink() = default;

    // Returns false when the bytes could not all be delivered.
    virtual bool write(std::span<const std::byte> bytes) = 0;

    bool write(std::string_view text) { return write(std::as_bytes(std::span(text.data(), text.size()))); }

    // Runs `then` once everything written so far has been delivered: at once, for a sink that delivers
    // as it is called; a sink that queues runs it, on a thread of its own, after the write that came
    // before has returned.
    virtual void whenWritten(const std::function<void()>& then) { then(); }
};

}  // namespace lumvar
