#pragma once

#include <cstddef>
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
};

}  // namespace lumvar
