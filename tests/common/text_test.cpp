#include "common/text.h"

#include <gtest/gtest.h>

namespace lumvar {

const Text& text = platformText();

TEST(Text, UpperCasingTrimmingAndRepairFollowUnicodeNotTheLocale) {
    EXPECT_EQ(text.upper("stra\xc3\x9f" "e"), "STRASSE");  // ß expands to two letters
    EXPECT_EQ(text.upper("\xef\xac\x81" "le"), "FILE");     // the ligature ﬁ
    EXPECT_EQ(text.upper("l\xc4\xb1st"), "LIST");           // dotless ı, and dotted i stays I outside Turkish
    EXPECT_EQ(text.trim("\xc2\xa0\t" "a b" "\xe3\x80\x80"), "a b");  // no-break and ideographic spaces, tab
    EXPECT_EQ(text.trim("\rLIST\n"), "\rLIST\n");                    // line breaks are not blanks here
    EXPECT_EQ(text.trim("\xe2\x80\x8b" "x"), "\xe2\x80\x8b" "x");     // zero-width space is not Zs
    EXPECT_EQ(text.trim("\xff "), "\xff");                           // ill-formed bytes stop the trim
    EXPECT_EQ(text.sanitize("A\xff" "B\xc3"), "A\xef\xbf\xbd" "B\xef\xbf\xbd");
    EXPECT_EQ(text.sanitize("\xe2\x82\xac"), "\xe2\x82\xac");
}

TEST(Text, EqualityAndPrefixAreCanonicalEquivalenceOnCharacterBoundaries) {
    EXPECT_TRUE(text.equal("caf\xc3\xa9", "cafe\xcc\x81"));  // é precomposed and decomposed
    EXPECT_TRUE(text.equal("\xe2\x84\xab", "\xc3\x85"));      // ANGSTROM SIGN and Å
    EXPECT_FALSE(text.equal("AbC", "abc"));
    EXPECT_FALSE(text.equal("\xef\xac\x81", "fi"));  // compatibility only, not canonical
    EXPECT_TRUE(text.equal("\xff\xfe", "\xff\xfe"));  // byte-identical, even ill-formed
    EXPECT_FALSE(text.equal("\xff", "\xfe"));         // both would read as U+FFFD
    EXPECT_TRUE(text.startsWith("cafe\xcc\x81-1", "caf\xc3\xa9"));
    EXPECT_FALSE(text.startsWith("agge\xcc\x81", "agge"));  // that e carries an accent: another character
    EXPECT_FALSE(text.startsWith("COM.vormalde", "com.vormalde"));
    EXPECT_FALSE(text.startsWith("ag", "agg"));
}

}  // namespace lumvar
