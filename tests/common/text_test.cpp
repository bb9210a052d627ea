#include "common/text.h"

#include <gtest/gtest.h>

namespace lumvar {

// What the command and device tests leave to these: text that is not UTF-8, and where a prefix ends.
TEST(Text, IllFormedTextStaysItselfAndAPrefixEndsOnACharacterBoundary) {
    const Text& text = platformText();
    EXPECT_TRUE(text.equal("\xff\xfe", "\xff\xfe"));         // byte-identical, even ill-formed
    EXPECT_FALSE(text.equal("\xff", "\xfe"));                // both would read as U+FFFD
    EXPECT_FALSE(text.equal("\xef\xac\x81", "fi"));          // compatibility only, not canonical
    EXPECT_EQ(text.trim(" \xff "), "\xff");                  // ill-formed bytes stop the trim, on both sides
    EXPECT_EQ(text.trim("\xe2\x80\x8b!"), "\xe2\x80\x8b!");  // zero-width space is not Zs
    EXPECT_TRUE(text.startsWith("cafe\xcc\x81-1", "caf\xc3\xa9"));
    EXPECT_FALSE(text.startsWith("agge\xcc\x81", "agge"));  // that e carries an accent: another character
    EXPECT_FALSE(text.startsWith("ag", "agg"));
}

}  // namespace lumvar
