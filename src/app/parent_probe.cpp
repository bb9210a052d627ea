#include "app/parent_probe.h"

#include <unistd.h>

namespace lumvar::app {

bool PosixParentProbe::parentGone() {
    const pid_t now = ::getppid();
    return now != parent_;  // becoming 1 is a change too, unless it was 1 all along
}

}  // namespace lumvar::app
