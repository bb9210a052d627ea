#include "common/text.h"

#include <gtest/gtest.h>

namespace lumvar {

const Text& text = platformText();

TEST(Text, UpperCaseIsFullMappingInTheRootLocale) {
    EXPECT_EQ(text.upper("system"), "SYSTEM");
    EXPECT_EQ(text.upper("Input"), "INPUT");
    EXPECT_EQ(text.upper("stra\xc3\x9f" "e"), "STRASSE");       // ß expands to two letters
    EXPECT_EQ(text.upper("\xef\xac\x81" "le"), "FILE");          // the ligature ﬁ
    EXPECT_EQ(text.upper("list"), "LIST");                       // dotted i stays I, as outside Turkish
    EXPECT_EQ(text.upper("\xc4\xb1nput"), "INPUT");              // dotless ı upper-cases to I
}

TEST(Text, TrimsSpaceSeparatorsAndTabOnly) {
    EXPECT_EQ(text.trim("  \tSYSTEM \t "), "SYSTEM");
    EXPECT_EQ(text.trim("\xc2\xa0" "LIST" "\xe3\x80\x80"), "LIST");  // no-break space, ideographic space
    EXPECT_EQ(text.trim("\xe2\x80\x83" "a b" "\xe2\x80\x83"), "a b");  // em space; the inner blank stays
    EXPECT_EQ(text.trim("\rLIST\n"), "\rLIST\n");                   // line breaks are not blanks here
    EXPECT_EQ(text.trim("\xe2\x80\x8b" "x"), "\xe2\x80\x8b" "x");    // zero-width space is not Zs
    EXPECT_EQ(text.trim(" \t "), "");
    EXPECT_EQ(text.trim("\xff "), "\xff");                          // ill-formed bytes stop the trim
}

TEST(Text, EqualityIsCanonicalEquivalenceAndCaseSensitive) {
    EXPECT_TRUE(text.equal("caf\xc3\xa9", "cafe\xcc\x81"));  // é precomposed and decomposed
    EXPECT_TRUE(text.equal("\xe2\x84\xab", "\xc3\x85"));      // ANGSTROM SIGN and Å
    EXPECT_FALSE(text.equal("AbC", "abc"));
    EXPECT_FALSE(text.equal("\xef\xac\x81", "fi"));           // compatibility only, not canonical
    EXPECT_TRUE(text.equal("\xff\xfe", "\xff\xfe"));          // byte-identical, even ill-formed
    EXPECT_FALSE(text.equal("\xff", "\xfe"));                 // both would read as U+FFFD
}

TEST(Text, PrefixEndsOnACharacterBoundary) {
    EXPECT_TRUE(text.startsWith("com.vormalde.lumvar.agg.1234", "com.vormalde.lumvar.agg"));
    EXPECT_FALSE(text.startsWith("COM.vormalde.lumvar.agg", "com.vormalde.lumvar.agg"));
    EXPECT_TRUE(text.startsWith("cafe\xcc\x81-1", "caf\xc3\xa9"));
    EXPECT_FALSE(text.startsWith("agge\xcc\x81", "agge"));  // the e carries an accent: another character
    EXPECT_FALSE(text.startsWith("ag", "agg"));
}

TEST(Text, SanitizeReplacesIllFormedBytes) {
    EXPECT_EQ(text.sanitize("INPUT mic"), "INPUT mic");
    EXPECT_EQ(text.sanitize("A\xff" "B"), "A\xef\xbf\xbd" "B");
    EXPECT_EQ(text.sanitize("\xc3"), "\xef\xbf\xbd");  // a truncated sequence
    EXPECT_EQ(text.sanitize("\xe2\x82\xac"), "\xe2\x82\xac");
}

}  // namespace lumvar
