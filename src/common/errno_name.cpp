#include "common/errno_name.h"

#include <array>
#include <cerrno>
#include <utility>

#include "common/number_format.h"

namespace lumvar {

std::string errnoName(int error) {
    // A fixed table rather than strerror: the line is the same on every platform and in every locale.
    static constexpr std::array<std::pair<int, const char*>, 5> kNames{{
        {ENOSPC, "ENOSPC"},
        {EIO, "EIO"},
        {EBADF, "EBADF"},
        {EFBIG, "EFBIG"},
        {EINVAL, "EINVAL"},
    }};
    for (const auto& [number, name] : kNames)
        if (number == error) return name;
    return "errno " + formatInt(error);
}

}  // namespace lumvar
