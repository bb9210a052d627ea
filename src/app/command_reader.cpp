#include "app/command_reader.h"

#include <unistd.h>
#include <array>
#include <cerrno>

namespace lumvar::app {

void readCommands(int fd, const Text& text, const CommandSink& sink) {
    LineSplitter splitter(
        [&](std::string_view line) {
            if (auto command = parseCommand(line, text)) sink.command(std::move(*command));
        },
        sink.overlong);
    std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        splitter.feed(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
    }
    splitter.finish();
}

}  // namespace lumvar::app
