#pragma once

#include <sys/types.h>

namespace lumvar::app {

// Tells whether the process that started us is gone.
class ParentProbe {
  public:
    virtual ~ParentProbe() = default;
    virtual bool parentGone() = 0;
};

// Gone when the parent id differs from the one seen at start-up (on Linux an orphan is often adopted by
// a sub-reaper rather than by process 1), or has become 1. A parent that was process 1 from the start
// (an app running as a container's init) is not taken for a parent that has gone.
class PosixParentProbe final : public ParentProbe {
  public:
    // `parent`: the parent's id as seen at launch, before anything could take long.
    explicit PosixParentProbe(pid_t parent) : parent_(parent) {}
    bool parentGone() override;

  private:
    pid_t parent_;
};

}  // namespace lumvar::app
