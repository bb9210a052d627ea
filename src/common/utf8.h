#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// UTF-8 walked by hand, the way ICU walks it, for a platform whose text library cannot decode
// ill-formed input (CoreFoundation refuses it whole).
namespace lumvar::utf8 {

// The length of the well-formed sequence at the start of `bytes` (not empty), or 0 when it is
// ill-formed; `maximal` then gets the length of the ill-formed part that one U+FFFD replaces (the
// maximal subpart, as ICU and the Unicode standard's recommended practice count it).
std::size_t sequenceLength(std::string_view bytes, std::size_t& maximal);

// Each maximal ill-formed subpart becomes one U+FFFD; well-formed text comes back unchanged.
std::string sanitize(std::string_view bytes);

// General Category Zs, or U+0009. Zs has not changed since Unicode 6.3 moved U+180E out of it.
bool isBlank(char32_t c);

// Drops blanks from both ends. An ill-formed sequence stops the walk on its side, as with ICU's
// U8_NEXT and U8_PREV, so the blanks around bad bytes still go.
std::string_view trim(std::string_view text);

}  // namespace lumvar::utf8
