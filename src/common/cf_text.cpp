// The text rules on CoreFoundation, for macOS builds (no ICU there).
#include <CoreFoundation/CoreFoundation.h>

#include <cstdint>

#include "common/text.h"
#include "common/utf8.h"

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
        return utf8::sanitize(bytes);
    }

    std::string upper(std::string_view text) const override {
        const Owned string(makeString(text));
        if (string.get() == nullptr) return std::string(text);
        const Owned copy(CFStringCreateMutableCopy(kCFAllocatorDefault, 0, string.get()));
        CFStringUppercase(copy.get(), nullptr);  // no locale: the full mapping, the same everywhere
        return toUtf8(copy.get());
    }

    // Walked by hand: CoreFoundation refuses ill-formed text whole, and the blanks around bad bytes
    // must still go, as with ICU. The blanks are a fixed list, so no version of CoreFoundation's
    // whitespace set can disagree with ICU's Zs.
    std::string trim(std::string_view text) const override { return std::string(utf8::trim(text)); }

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
