#include "common/status_log.h"

#include <string>
#include <utility>

namespace lumvar {

void StatusLog::log(std::string_view text) {
    if (captured_ != nullptr) {
        captured_->emplace_back(text);
        return;
    }
    std::string whole;
    whole.reserve(text.size() + 1);
    whole.append(text);
    whole.push_back('\n');
    sink_.write(whole);
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
    for (const char c : text) {
        if (c == '\n' || c == '\r') {
            safe += "\xEF\xBF\xBD";
        } else {
            safe.push_back(c);
        }
    }
    return safe;
}

}  // namespace lumvar
