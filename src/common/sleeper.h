#pragma once

#include <chrono>

namespace lumvar {

// Blocking waits, injected so that tests run without sleeping.
class Sleeper {
  public:
    virtual ~Sleeper() = default;
    virtual void sleepFor(std::chrono::microseconds duration) = 0;
};

class RealSleeper final : public Sleeper {
  public:
    void sleepFor(std::chrono::microseconds duration) override;
};

}  // namespace lumvar
