#pragma once

#include <string>
#include <string_view>

#include "common/byte_sink.h"

namespace lumvar {

// Status lines on standard error: each line reaches the sink as exactly one write ending in one "\n".
// The outcome of the write is not looked at; a status line is never worth more than the audio.
class StatusLog {
  public:
    explicit StatusLog(ByteSink& sink) : sink_(sink) {}

    // Writes `text` and the "\n" that ends it, in one write.
    void log(std::string_view text);

  private:
    ByteSink& sink_;
};

// A text from elsewhere (a device's name) made safe to put into one status line: every carriage
// return and line feed becomes U+FFFD, so that the text cannot end the line or forge another one.
std::string oneLine(std::string_view text);

}  // namespace lumvar
