#include "common/status_log.h"

#include <string>
#include <utility>

#include "common/line_breakers.h"

namespace lumvar {

namespace {
std::string withNewline(std::string_view text) {
    std::string whole;
    whole.reserve(text.size() + 1);
    whole.append(text);
    whole.push_back('\n');
    return whole;
}
}  // namespace

void StatusLog::log(std::string_view text) {
    if (captured_ != nullptr) {
        captured_->emplace_back(text);
        return;
    }
    sink_.write(withNewline(text));
}

void StatusLog::segmentLine(std::string_view text, std::uint64_t frame, bool anchor,
                            const std::function<void()>& written) {
    sink_.writeSegmentLine(withNewline(text), frame, anchor, written);
}

std::vector<std::string> StatusLog::capture(const std::function<void()>& work) {
    std::vector<std::string> lines;
    std::vector<std::string>* outer = std::exchange(captured_, &lines);
    work();
    captured_ = outer;
    return lines;
}

std::string oneLine(std::string_view text) {
    std::string safe;
    safe.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const LineBreaker breaker = lineBreakerAt(text, at);
        if (breaker.length == 0 || breaker.code == U'\t') {
            const std::size_t length = breaker.length == 0 ? 1 : breaker.length;
            safe.append(text.substr(at, length));
            at += length;
        } else {
            safe += "\xEF\xBF\xBD";
            at += breaker.length;
        }
    }
    return safe;
}

}  // namespace lumvar
