#include "app/parent_probe.h"

#include <unistd.h>

namespace lumvar::app {

bool PosixParentProbe::parentGone() {
    const pid_t now = ::getppid();
    return now == 1 || now != parent_;
}

}  // namespace lumvar::app
