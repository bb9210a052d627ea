#pragma once

#include <string>

namespace lumvar {

// The name a status line gives a write error: the symbol for ENOSPC, EIO, EBADF, EFBIG and EINVAL (a
// full disk, a dead terminal, a descriptor that is no output, a file over its limit), "errno <n>" for
// any other.
std::string errnoName(int error);

}  // namespace lumvar
