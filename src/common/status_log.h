#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/byte_sink.h"

namespace lumvar {

// Status lines on standard error: each line reaches the sink as exactly one write ending in one "\n".
// The outcome of the write is not looked at; a status line is never worth more than the audio.
class StatusLog {
  public:
    explicit StatusLog(ByteSink& sink) : sink_(sink) {}

    // Writes `text` and the "\n" that ends it, in one write.
    void log(std::string_view text);

    // Runs `work` with the lines it logs kept instead of written, and hands them back (without their
    // "\n"), for a caller that decides afterwards whether they are worth writing.
    std::vector<std::string> capture(const std::function<void()>& work);

    // A segment line (see ByteSink::writeSegmentLine); `written` runs once it is out.
    void segmentLine(std::string_view text, std::uint64_t frame, bool anchor,
                     const std::function<void()>& written);

  private:
    ByteSink& sink_;
    std::vector<std::string>* captured_ = nullptr;
};

// A text from elsewhere (a device's name, a UID or a line the parent sent) made safe to put into one
// status line: every control character but TAB, and U+2028 and U+2029, becomes U+FFFD, so that no
// reader (Python's splitlines splits at VT, FF, FS, GS, RS, NEL and those two) sees the line end early.
std::string oneLine(std::string_view text);

}  // namespace lumvar
