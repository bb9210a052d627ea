#pragma once

#include <functional>

#include "app/command.h"

namespace lumvar::app {

// Reads command lines from `fd` until end of input or a read error, handing each command to `post`
// as soon as its line is complete. Blocks: run it on a thread of its own.
void readCommands(int fd, const Text& text, const std::function<void(Command)>& post);

}  // namespace lumvar::app
