#include "common/utf8.h"

#include <algorithm>

namespace lumvar::utf8 {
namespace {

bool isTrail(unsigned char byte) {
    return byte >= 0x80 && byte <= 0xBF;
}

// The code point of a well-formed sequence.
char32_t decode(std::string_view bytes, std::size_t length) {
    static constexpr unsigned char leadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    char32_t c = static_cast<unsigned char>(bytes[0]) & leadMask[length];
    for (std::size_t k = 1; k < length; ++k) c = (c << 6) | (static_cast<unsigned char>(bytes[k]) & 0x3F);
    return c;
}

}  // namespace

std::size_t sequenceLength(std::string_view bytes, std::size_t& maximal) {
    const auto lead = static_cast<unsigned char>(bytes[0]);
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // no overlong forms
        if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    }
    maximal = 1;
    if (length == 0) return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if (k >= bytes.size()) return 0;
        const auto next = static_cast<unsigned char>(bytes[k]);
        if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return 0;
        maximal = k + 1;
    }
    return length;
}

std::string sanitize(std::string_view bytes) {
    std::string repaired;
    repaired.reserve(bytes.size());
    while (!bytes.empty()) {
        std::size_t maximal = 1;
        const std::size_t length = sequenceLength(bytes, maximal);
        if (length > 0) {
            repaired.append(bytes.substr(0, length));
            bytes.remove_prefix(length);
        } else {
            repaired.append("\xEF\xBF\xBD");
            bytes.remove_prefix(std::min(maximal, bytes.size()));
        }
    }
    return repaired;
}

bool isBlank(char32_t c) {
    return c == 0x09 || c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
           c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string_view trim(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t maximal = 1;
        const std::size_t length = sequenceLength(text.substr(begin), maximal);
        if (length == 0 || !isBlank(decode(text.substr(begin), length))) break;
        begin += length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        // The last sequence starts at its lead byte, at most three trail bytes back and never before
        // `begin`; it counts only when it is well-formed and ends exactly at `end`.
        std::size_t start = end - 1;
        while (start > begin && end - start < 4 && isTrail(static_cast<unsigned char>(text[start]))) --start;
        std::size_t maximal = 1;
        const std::string_view last = text.substr(start, end - start);
        if (sequenceLength(last, maximal) != last.size() || !isBlank(decode(last, last.size()))) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

}  // namespace lumvar::utf8
