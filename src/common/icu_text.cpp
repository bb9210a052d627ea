#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include "common/text.h"

namespace lumvar {
namespace {

bool isWellFormed(std::string_view text) {
    std::int32_t i = 0;
    const auto length = static_cast<std::int32_t>(text.size());
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    while (i < length) {
        UChar32 c = 0;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) return false;
    }
    return true;
}

bool isBlank(UChar32 c) {
    return c == 0x09 || u_charType(c) == U_SPACE_SEPARATOR;
}

std::string toUtf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

icu::UnicodeString fromUtf8(std::string_view text) {
    return icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
}

// NFD of well-formed text; canonically equivalent texts have identical NFD forms.
std::string decomposed(std::string_view text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status)) return std::string(text);
    const icu::UnicodeString normal = nfd->normalize(fromUtf8(text), status);
    if (U_FAILURE(status)) return std::string(text);
    return toUtf8(normal);
}

class IcuText final : public Text {
  public:
    bool wellFormed(std::string_view bytes) const override { return isWellFormed(bytes); }

    std::string sanitize(std::string_view bytes) const override {
        if (isWellFormed(bytes)) return std::string(bytes);
        return toUtf8(fromUtf8(bytes));  // ICU substitutes U+FFFD per maximal ill-formed subpart
    }

    std::string upper(std::string_view text) const override {
        icu::UnicodeString value = fromUtf8(text);
        value.toUpper(icu::Locale::getRoot());
        return toUtf8(value);
    }

    std::string trim(std::string_view text) const override {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
        const auto length = static_cast<std::int32_t>(text.size());
        std::int32_t begin = 0;
        while (begin < length) {
            std::int32_t next = begin;
            UChar32 c = 0;
            U8_NEXT(bytes, next, length, c);
            if (c < 0 || !isBlank(c)) break;
            begin = next;
        }
        std::int32_t end = length;
        while (end > begin) {
            std::int32_t previous = end;
            UChar32 c = 0;
            U8_PREV(bytes, begin, previous, c);
            if (c < 0 || !isBlank(c)) break;
            end = previous;
        }
        return std::string(
            text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin)));
    }

    bool equal(std::string_view a, std::string_view b) const override {
        if (a == b) return true;
        if (!isWellFormed(a) || !isWellFormed(b)) return false;
        return decomposed(a) == decomposed(b);
    }

    bool startsWith(std::string_view text, std::string_view prefix) const override {
        if (!isWellFormed(text) || !isWellFormed(prefix)) return text.starts_with(prefix);
        // Compare by code points of the decomposed forms; a prefix must end on a character boundary
        // of the text, so a trailing combining mark in the text after the prefix breaks the match.
        const std::string whole = decomposed(text);
        const std::string head = decomposed(prefix);
        if (!std::string_view(whole).starts_with(head)) return false;
        if (whole.size() == head.size()) return true;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(whole.data());
        auto at = static_cast<std::int32_t>(head.size());
        UChar32 next = 0;
        U8_NEXT(bytes, at, static_cast<std::int32_t>(whole.size()), next);
        return u_getCombiningClass(next) == 0;
    }
};

}  // namespace

const Text& platformText() {
    static const IcuText text;
    return text;
}

}  // namespace lumvar
