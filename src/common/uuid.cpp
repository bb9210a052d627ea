#include "common/uuid.h"

#include <uuid/uuid.h>

namespace lumvar {

std::string RandomUuids::next() {
    uuid_t value;
    uuid_generate_random(value);
    char text[37];
    uuid_unparse_upper(value, text);
    return std::string(text, 36);
}

}  // namespace lumvar
