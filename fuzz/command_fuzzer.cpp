// Standard input as the helper reads it: bytes in chunks of any size cut into lines, each line made a
// command. The input drives FuzzedDataProvider: each control byte, taken from the end, gives the size
// of the next chunk taken from the front (its low six bits) and, with both top bits set, a repeat count
// (two more control bytes, plus two), so that a few bytes make lines far past the limit.
// Checked: the lines and overlong lengths are those of a plain split of everything fed; no kept line is
// longer than the limit, and no allocation larger than a kept line needs is made while reading; every
// command is its line repaired and trimmed, its word trimmed, without U+0020 and its own upper-casing,
// and an argument is there exactly when the line has a U+0020, non-empty and trimmed; the line as an
// echo in a status line has every character that could end a line replaced.
#include <fuzzer/FuzzedDataProvider.h>
#include <sanitizer/allocator_interface.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdlib>

#include "app/command.h"
#include "common/status_log.h"

namespace {

using lumvar::app::LineSplitter;

constexpr std::size_t kMaxFeed = 4 * LineSplitter::kMaxLine;
thread_local bool watching = false;
thread_local std::size_t largest = 0;

void require(bool holds) {
    if (!holds) std::abort();  // libFuzzer keeps the input that got here
}

bool isBlank(UChar32 c) {
    return c == 0x09 || u_charType(c) == U_SPACE_SEPARATOR;
}

// Non-empty, well-formed, and no blank at either end.
bool trimmed(const std::string& text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    UChar32 first = -1, last = -1;
    std::int32_t front = 0, back = length;
    if (length > 0) U8_NEXT(bytes, front, length, first);
    if (length > 0) U8_PREV(bytes, 0, back, last);
    return first >= 0 && last >= 0 && !isBlank(first) && !isBlank(last) &&
           lumvar::platformText().wellFormed(text);
}

// `echoed` is `line` as a status line shows it: each Cc character but TAB and each U+2028 and U+2029
// (by ICU's categories) replaced by one U+FFFD, everything else as it was.
void requireOneLine(const std::string& line, const std::string& echoed) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(line.data());
    std::string expected;
    for (std::int32_t i = 0, length = static_cast<std::int32_t>(line.size()); i < length;) {
        const std::int32_t start = i;
        UChar32 c = 0;
        U8_NEXT(bytes, i, length, c);
        const bool breaker = (u_charType(c) == U_CONTROL_CHAR && c != 0x09) || c == 0x2028 || c == 0x2029;
        expected += breaker ? std::string("\xEF\xBF\xBD") : line.substr(start, i - start);
    }
    require(echoed == expected);
}

void checkCommand(std::string_view raw) {
    const lumvar::Text& text = lumvar::platformText();
    const auto command = lumvar::app::parseCommand(raw, text);
    const std::string line = text.trim(text.sanitize(raw));
    require(command.has_value() == !line.empty());
    if (!command) return;
    require(command->line == line && trimmed(line) && trimmed(command->word));
    require(command->word.find(' ') == std::string::npos && text.upper(command->word) == command->word);
    require(command->argument.has_value() == (line.find(' ') != std::string::npos));
    require(!command->argument || trimmed(*command->argument));
    requireOneLine(command->line, lumvar::oneLine(command->line));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    __sanitizer_install_malloc_and_free_hooks(
        [](const volatile void*, std::size_t bytes) {
            if (watching && bytes > largest) largest = bytes;
        },
        [](const volatile void*) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    std::string stream;  // everything fed, for the plain split
    std::size_t at = 0;  // where the plain split's next line starts
    const auto next = [&](bool ended) {
        std::size_t end = stream.find('\n', at);
        require(at < stream.size() + (ended ? 0 : 1) && (end != std::string::npos || ended));
        if (end == std::string::npos) end = stream.size();
        std::string_view line = std::string_view(stream).substr(at, end - at);
        at = end + 1;
        return line.ends_with('\r') ? line.substr(0, line.size() - 1) : line;
    };
    bool ended = false;
    LineSplitter splitter(
        [&](std::string_view line) {
            watching = false;
            require(line.size() <= LineSplitter::kMaxLine && line == next(ended));
            checkCommand(line);
            watching = true;
        },
        [&](std::size_t bytes) { require(bytes > LineSplitter::kMaxLine && bytes == next(ended).size()); });
    largest = 0;
    while (input.remaining_bytes() > 0 && stream.size() < kMaxFeed) {
        const auto control = input.ConsumeIntegral<std::uint8_t>();
        std::string chunk = input.ConsumeBytesAsString(control & 0x3F);
        if ((control & 0xC0) == 0xC0 && !chunk.empty()) {
            const std::size_t times = 2 + std::size_t{input.ConsumeIntegral<std::uint16_t>()};
            for (std::string piece = chunk; chunk.size() < std::min(times * piece.size(), kMaxFeed);)
                chunk += piece;
        }
        chunk.resize(std::min(chunk.size(), kMaxFeed - stream.size()));
        stream += chunk;
        watching = true;
        splitter.feed(chunk);
        watching = false;
    }
    ended = true;
    watching = true;
    splitter.finish();
    watching = false;
    // A kept line is at most the limit and a "\r", in a string whose room may have doubled.
    require(largest <= 2 * (LineSplitter::kMaxLine + 2) && at >= stream.size());
    return 0;
}
