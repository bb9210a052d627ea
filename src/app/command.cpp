#include "app/command.h"

namespace lumvar::app {

std::optional<Command> parseCommand(std::string_view rawLine, const Text& text) {
    const std::string line = text.trim(text.sanitize(rawLine));
    if (line.empty()) return std::nullopt;
    const auto space = line.find(' ');
    if (space == std::string::npos) return Command{text.upper(line), std::nullopt, line};
    return Command{text.upper(line.substr(0, space)), text.trim(line.substr(space + 1)), line};
}

void LineSplitter::feed(std::string_view bytes, const LineHandler& onLine) {
    std::size_t start = 0;
    for (std::size_t end = bytes.find('\n'); end != std::string_view::npos; end = bytes.find('\n', start)) {
        pending_.append(bytes.substr(start, end - start));
        if (!pending_.empty() && pending_.back() == '\r') pending_.pop_back();
        onLine(pending_);
        pending_.clear();
        start = end + 1;
    }
    pending_.append(bytes.substr(start));
}

void LineSplitter::finish(const LineHandler& onLine) {
    if (!pending_.empty()) onLine(pending_);
    pending_.clear();
}

}  // namespace lumvar::app
