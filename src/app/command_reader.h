#pragma once

#include <functional>

#include "app/command.h"

namespace lumvar::app {

// Where the reader hands what it reads; both may block to hold the reader back.
struct CommandSink {
    std::function<void(std::string line)> command;    // a non-blank line, repaired and trimmed (commandLine)
    std::function<void(std::size_t bytes)> overlong;  // a line too long to keep, by its length
};

// Reads command lines from `fd` until end of input or a read error, handing each command over as soon
// as its line is complete; a non-blocking `fd` with nothing to read is waited on. Blocks: run it on a
// thread of its own.
void readCommands(int fd, const Text& text, const CommandSink& sink);

}  // namespace lumvar::app
