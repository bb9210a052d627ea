#include "app/command.h"

namespace lumvar::app {

std::optional<std::string> commandLine(std::string_view rawLine, const Text& text) {
    std::string line = text.trim(text.sanitize(rawLine));
    if (line.empty()) return std::nullopt;
    return line;
}

std::optional<Command> parseCommand(std::string_view rawLine, const Text& text) {
    const auto trimmed = commandLine(rawLine, text);
    if (!trimmed) return std::nullopt;
    const std::string& line = *trimmed;
    const auto space = line.find(' ');
    if (space == std::string::npos) return Command{text.upper(line), std::nullopt, line};
    // The word is trimmed too: blanks other than U+0020 right before the first space belong to neither.
    return Command{text.upper(text.trim(line.substr(0, space))), text.trim(line.substr(space + 1)), line};
}

LineSplitter::LineSplitter(LineHandler onLine, OverlongHandler onOverlong)
    : onLine_(std::move(onLine)), onOverlong_(std::move(onOverlong)) {}

void LineSplitter::feed(std::string_view bytes) {
    while (!bytes.empty()) {
        const std::size_t end = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, end);
        if (overlong_ == 0 && pending_.size() + piece.size() <= kMaxLine + 1) {  // room for a "\r" too
            pending_.append(piece);
        } else {
            if (overlong_ == 0) {
                overlong_ = pending_.size();
                std::string().swap(pending_);  // give the memory back
            }
            overlong_ += piece.size();
            if (!piece.empty()) overlongEndsInCR_ = piece.back() == '\r';
        }
        if (end == std::string_view::npos) return;
        endLine();
        bytes.remove_prefix(end + 1);
    }
}

void LineSplitter::endLine() {
    if (overlong_ > 0) {
        const std::size_t length = overlong_ - (overlongEndsInCR_ ? 1 : 0);
        overlong_ = 0;
        overlongEndsInCR_ = false;
        onOverlong_(length);
        return;
    }
    if (!pending_.empty() && pending_.back() == '\r') pending_.pop_back();
    if (pending_.size() > kMaxLine) {
        onOverlong_(pending_.size());
    } else {
        onLine_(pending_);
    }
    pending_.clear();
}

void LineSplitter::finish() {
    if (!pending_.empty() || overlong_ > 0) endLine();
}

}  // namespace lumvar::app
