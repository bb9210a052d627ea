#include "common/sleeper.h"

#include <thread>

namespace lumvar {

void RealSleeper::sleepFor(std::chrono::microseconds duration) {
    std::this_thread::sleep_for(duration);
}

}  // namespace lumvar
