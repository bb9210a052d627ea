#include "common/line_breakers.h"

namespace lumvar {

LineBreaker lineBreakerAt(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char first = byte(at);
    if (first < 0x20 || first == 0x7F) return {1, first};
    const std::size_t left = text.size() - at;
    if (first == 0xC2 && left >= 2 && byte(at + 1) >= 0x80 && byte(at + 1) <= 0x9F) return {2, byte(at + 1)};
    if (first == 0xE2 && left >= 3 && byte(at + 1) == 0x80 && (byte(at + 2) == 0xA8 || byte(at + 2) == 0xA9))
        return {3, static_cast<char32_t>(0x2000 + byte(at + 2) - 0x80)};
    return {};
}

}  // namespace lumvar
