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

}  // namespace lumvar
