// The text rules on CoreFoundation, for macOS builds (no ICU there).
#include <CoreFoundation/CoreFoundation.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/text.h"

namespace lumvar {
namespace {

// Owns one CoreFoundation reference.
template <typename Ref>
class Owned {
  public:
    explicit Owned(Ref ref) : ref_(ref) {}
    ~Owned() {
        if (ref_ != nullptr) CFRelease(ref_);
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Ref get() const { return ref_; }

  private:
    Ref ref_;
};

// Null for ill-formed UTF-8.
CFStringRef makeString(std::string_view text) {
    return CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                   static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false);
}

std::string toUtf8(CFStringRef string) {
    const CFIndex length = CFStringGetLength(string);
    CFIndex used = 0;
    CFStringGetBytes(string, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false, nullptr, 0, &used);
    std::string bytes(static_cast<std::size_t>(used), '\0');
    CFStringGetBytes(string, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false,
                     reinterpret_cast<UInt8*>(bytes.data()), used, &used);
    return bytes;
}

// A mutable copy, decomposed (NFD): canonically equivalent texts have equal decompositions.
CFMutableStringRef decomposed(CFStringRef string) {
    CFMutableStringRef copy = CFStringCreateMutableCopy(kCFAllocatorDefault, 0, string);
    CFStringNormalize(copy, kCFStringNormalizationFormD);
    return copy;
}

// The length of the well-formed UTF-8 sequence at the start of `bytes`, or 0 when it is ill-formed;
// `maximal` gets the length of the ill-formed part that one U+FFFD replaces.
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

class CfText final : public Text {
  public:
    bool wellFormed(std::string_view bytes) const override {
        if (bytes.empty()) return true;
        const Owned string(makeString(bytes));
        return string.get() != nullptr;
    }

    // CoreFoundation has no lossy UTF-8 decoding: each maximal ill-formed subpart becomes one U+FFFD,
    // as ICU and the Unicode standard's recommended practice do.
    std::string sanitize(std::string_view bytes) const override {
        if (wellFormed(bytes)) return std::string(bytes);
        std::string repaired;
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

    std::string upper(std::string_view text) const override {
        const Owned string(makeString(text));
        if (string.get() == nullptr) return std::string(text);
        const Owned copy(CFStringCreateMutableCopy(kCFAllocatorDefault, 0, string.get()));
        CFStringUppercase(copy.get(), nullptr);  // no locale: the full mapping, the same everywhere
        return toUtf8(copy.get());
    }

    std::string trim(std::string_view text) const override {
        const Owned string(makeString(text));
        if (string.get() == nullptr) return std::string(text);
        // Whitespace here is exactly General Category Zs plus U+0009.
        CFCharacterSetRef blanks = CFCharacterSetGetPredefined(kCFCharacterSetWhitespace);
        const CFIndex length = CFStringGetLength(string.get());
        CFIndex begin = 0, end = length;
        while (begin < end &&
               CFCharacterSetIsCharacterMember(blanks, CFStringGetCharacterAtIndex(string.get(), begin)))
            ++begin;
        while (end > begin &&
               CFCharacterSetIsCharacterMember(blanks, CFStringGetCharacterAtIndex(string.get(), end - 1)))
            --end;
        const Owned trimmed(
            CFStringCreateWithSubstring(kCFAllocatorDefault, string.get(), CFRangeMake(begin, end - begin)));
        return toUtf8(trimmed.get());
    }

    bool equal(std::string_view a, std::string_view b) const override {
        if (a == b) return true;
        const Owned first(makeString(a)), second(makeString(b));
        if (first.get() == nullptr || second.get() == nullptr) return false;
        const Owned left(decomposed(first.get())), right(decomposed(second.get()));
        return CFEqual(left.get(), right.get());
    }

    bool startsWith(std::string_view text, std::string_view prefix) const override {
        const Owned whole(makeString(text)), head(makeString(prefix));
        if (whole.get() == nullptr || head.get() == nullptr) return text.starts_with(prefix);
        const Owned left(decomposed(whole.get())), right(decomposed(head.get()));
        if (!CFStringHasPrefix(left.get(), right.get())) return false;
        // The prefix must end on a character boundary: no combining mark may follow it.
        const CFIndex at = CFStringGetLength(right.get());
        if (at == CFStringGetLength(left.get())) return true;
        CFCharacterSetRef marks = CFCharacterSetGetPredefined(kCFCharacterSetNonBase);
        return !CFCharacterSetIsCharacterMember(marks, CFStringGetCharacterAtIndex(left.get(), at));
    }
};

}  // namespace

const Text& platformText() {
    static const CfText text;
    return text;
}

}  // namespace lumvar
