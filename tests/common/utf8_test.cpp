// The hand-walked UTF-8 of the CoreFoundation text rules, held against ICU's.
#include "common/utf8.h"

#include <gtest/gtest.h>
#include <unicode/uchar.h>

#include <random>

#include "common/text.h"

namespace lumvar {

TEST(Utf8, BlanksAreIcusZsAndTabForEveryCodePoint) {
    for (char32_t c = 0; c <= 0x10FFFF; ++c)
        ASSERT_EQ(utf8::isBlank(c), c == 0x09 || u_charType(static_cast<UChar32>(c)) == U_SPACE_SEPARATOR)
            << static_cast<std::uint32_t>(c);
}

// Fixed texts, then random mixtures of pieces that meet at awkward places: blanks of each length,
// partial and overlong sequences, surrogates, stray trail bytes, bytes that never occur.
TEST(Utf8, TrimAndSanitizeAgreeWithIcuOnIllFormedText) {
    const Text& icu = platformText();
    // clang-format off
    std::vector<std::string> texts = {"\xff ", " \xff", " \xe2\x80\x80 x\xe2\x80\x80\t", "\xe2\xe2\x80\x80",
        "\xe2\x80\x80\x80", "\x80\xe2\x80\x80", " \xf0\x90\x80 ", "\t\xc2\xa0\xed\xa0\x80\xc2\xa0\t", "   ", "",
        "\xf0\xe2\x80\x80 ", " \xe2\x80"};
    const char* const pieces[] = {" ", "\t", "\xc2\xa0", "\xe2\x80\x80", "\xe3\x80\x80", "\xe2\x80", "\xe2", "\x80",
        "\xbf", "\xff", "\xc0\xa0", "\xed\xa0\x80", "\xf0\x90\x80\x80", "\xf0\x90\x80", "\xf4\x90\x80\x80",
        "\xe2\x80\x8b", "a", "\xc3\xa9", "\n", "\xf0"};
    // clang-format on
    std::mt19937 random(20);
    std::uniform_int_distribution<std::size_t> piece(0, std::size(pieces) - 1), count(0, 6);
    for (int round = 0; round < 20000; ++round) {
        std::string& text = texts.emplace_back();
        for (std::size_t n = count(random); n > 0; --n) text += pieces[piece(random)];
    }
    for (const std::string& text : texts) {
        ASSERT_EQ(utf8::trim(text), icu.trim(text)) << ::testing::PrintToString(text);
        ASSERT_EQ(utf8::sanitize(text), icu.sanitize(text)) << ::testing::PrintToString(text);
    }
}

}  // namespace lumvar
