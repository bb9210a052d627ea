#pragma once

#include <cstddef>
#include <cstdint>
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

    // A line that says where stream frame `frame` lies in time (`anchor`: one that only marks the clock's
    // progress within a segment). `written` runs once the line has been delivered: at once, for a sink
    // that delivers as it is called; a sink that queues runs it, on a thread of its own, after the line's
    // write has returned, or after the write of the line it was merged into (see StatusWriter).
    virtual void writeSegmentLine(std::string_view line, std::uint64_t frame, bool anchor,
                                  const std::function<void()>& written) {
        (void)frame, (void)anchor;
        write(line);
        written();
    }
};

}  // namespace lumvar
