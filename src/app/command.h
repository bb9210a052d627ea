#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/text.h"

namespace lumvar::app {

// One command line from the parent, as the handler sees it.
struct Command {
    std::string word;                     // the first word, upper-cased
    std::optional<std::string> argument;  // the rest after the first U+0020, trimmed; absent without one
    std::string line;                     // the whole trimmed line, as typed
};

// Turns one line (without its terminator) into a command; nullopt for a blank line. Ill-formed UTF-8
// becomes U+FFFD, Zs characters and tab are trimmed, and only U+0020 splits the word from its argument.
std::optional<Command> parseCommand(std::string_view rawLine, const Text& text);
// The first half of that: the line repaired and trimmed, what a command keeps while it waits for its turn.
std::optional<std::string> commandLine(std::string_view rawLine, const Text& text);

// Cuts a byte stream into lines at "\n", dropping a "\r" right before it; what is left at the end of
// input is a last line of its own. A line longer than kMaxLine bytes (without its terminator) is read
// to its end without being kept and reported by its length instead, so no input grows the process.
class LineSplitter {
  public:
    static constexpr std::size_t kMaxLine = 64 * 1024;

    using LineHandler = std::function<void(std::string_view line)>;
    using OverlongHandler = std::function<void(std::size_t bytes)>;

    LineSplitter(LineHandler onLine, OverlongHandler onOverlong);

    void feed(std::string_view bytes);
    void finish();

  private:
    void endLine();

    LineHandler onLine_;
    OverlongHandler onOverlong_;
    std::string pending_;
    std::size_t overlong_ = 0;  // bytes seen of a line too long to keep; 0 while the line is kept
    bool overlongEndsInCR_ = false;
};

}  // namespace lumvar::app
