#pragma once

#include <utility>

namespace lumvar {

// Runs `undo` when it goes out of scope, unless done() was called first: a function that makes several
// things states its clean-up for every failure after this point once, where the guard is made.
template <typename Undo>
class UndoUnlessDone {
  public:
    explicit UndoUnlessDone(Undo undo) : undo_(std::move(undo)) {}
    ~UndoUnlessDone() {
        if (!done_) undo_();
    }
    UndoUnlessDone(const UndoUnlessDone&) = delete;
    UndoUnlessDone& operator=(const UndoUnlessDone&) = delete;

    void done() { done_ = true; }

  private:
    Undo undo_;
    bool done_ = false;
};

}  // namespace lumvar
