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

// Cuts a byte stream into lines at "\n", dropping a "\r" right before it; what is left at the end of
// input is a last line of its own.
class LineSplitter {
public:
    using LineHandler = std::function<void(std::string_view line)>;

    void feed(std::string_view bytes, const LineHandler& onLine);
    void finish(const LineHandler& onLine);

private:
    std::string pending_;
};

}  // namespace lumvar::app
