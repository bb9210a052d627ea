#include "app/command_reader.h"

#include <poll.h>
#include <unistd.h>
#include <array>
#include <cerrno>

namespace lumvar::app {
namespace {

// Waits until `fd` has bytes or its end to give; false when even poll(2) fails.
bool waitReadable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    for (;;) {
        if (::poll(&entry, 1, -1) >= 0) return true;
        if (errno != EINTR) return false;
    }
}

}  // namespace

void readCommands(int fd, const Text& text, const CommandSink& sink) {
    LineSplitter splitter(
        [&](std::string_view line) {
            if (auto command = commandLine(line, text)) sink.command(std::move(*command));
        },
        sink.overlong);
    std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        // A standard input the parent made non-blocking is waited on as a blocking one would be.
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waitReadable(fd)) continue;
        if (got <= 0) break;
        splitter.feed(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
    }
    splitter.finish();
}

}  // namespace lumvar::app
