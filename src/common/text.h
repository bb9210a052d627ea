#pragma once

#include <string>
#include <string_view>

namespace lumvar {

// The Unicode text operations the system relies on, all on UTF-8. Each platform implements them
// with its own library (ICU on Linux).
class Text {
  public:
    virtual ~Text() = default;

    // Whether the bytes are well-formed UTF-8.
    virtual bool wellFormed(std::string_view bytes) const = 0;

    // Ill-formed UTF-8 sequences become U+FFFD; well-formed text comes back unchanged.
    virtual std::string sanitize(std::string_view bytes) const = 0;

    // Full Unicode upper-case mapping in the root locale ("ß" becomes "SS").
    virtual std::string upper(std::string_view text) const = 0;

    // Drops characters of General Category Zs and U+0009 from both ends; nothing else counts as blank.
    virtual std::string trim(std::string_view text) const = 0;

    // Case-sensitive equality under canonical equivalence. Byte-identical texts are always equal;
    // ill-formed texts are equal only when byte-identical.
    virtual bool equal(std::string_view a, std::string_view b) const = 0;

    // Whether `text` begins with a prefix, compared as equal() compares.
    virtual bool startsWith(std::string_view text, std::string_view prefix) const = 0;
};

// The implementation for this build's platform.
const Text& platformText();

}  // namespace lumvar
