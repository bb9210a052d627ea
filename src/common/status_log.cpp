#include "common/status_log.h"

#include <string>

namespace lumvar {

void StatusLog::log(std::string_view text) {
    std::string whole;
    whole.reserve(text.size() + 1);
    whole.append(text);
    whole.push_back('\n');
    sink_.write(whole);
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
