#pragma once

#include <cstddef>
#include <string_view>

namespace lumvar {

// A character that some reader takes for the end of a line, or that is no text at all: every character
// of General Category Cc (U+0000-U+001F, U+007F-U+009F, TAB among them) and U+2028 and U+2029.
struct LineBreaker {
    std::size_t length = 0;  // its bytes at the position asked about; 0 when it starts no such character
    char32_t code = 0;
};

// Looks at the UTF-8 character that starts at byte `at` of `text`. A byte that starts no well-formed
// sequence is no character and never a breaker.
LineBreaker lineBreakerAt(std::string_view text, std::size_t at);

}  // namespace lumvar
