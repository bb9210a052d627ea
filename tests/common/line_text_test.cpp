// What a status line is made of: numbers as the lines print them, and text from elsewhere, which must
// stay one line there and one JSON value on one line in the device list; and how texts compare.
#include <gtest/gtest.h>

#include <limits>

#include "audio/devices_json.h"
#include "common/number_format.h"
#include "common/status_log.h"
#include "common/text.h"

namespace lumvar {

TEST(NumberFormat, IntegersArePlainAndFloatsShortestWithAFractionAndNeverAnExponent) {
    EXPECT_EQ(formatInt(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808");
    EXPECT_EQ(formatUnsigned(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
    EXPECT_EQ(formatDouble(1e20), "100000000000000000000.0");
    EXPECT_EQ(formatDouble(1.5e-7), "0.00000015");
    EXPECT_EQ(formatFloat(0.1f), "0.1");  // not the double expansion 0.10000000149011612
}

// Every character of General Category Cc but TAB, and U+2028 and U+2029, is U+FFFD in a line and
// escaped in the list; TAB is escaped there too.
TEST(LineText, EveryControlAndSeparatorIsReplacedInLinesAndEscapedInTheList) {
    const std::string fffd = "\xEF\xBF\xBD";
    const std::tuple<std::string, std::string, std::string> cases[] = {
        // the text, in a line, in the list
        {"Mic\t\xC3\x9C", "Mic\t\xC3\x9C", "Mic\\u0009\xC3\x9C"},
        {std::string("a\r\nb\0c\x0B\x0C\x1C\x1D\x1E\x1F\x7F", 13),
         "a" + fffd + fffd + "b" + fffd + "c" + fffd + fffd + fffd + fffd + fffd + fffd + fffd,
         "a\\u000d\\u000ab\\u0000c\\u000b\\u000c\\u001c\\u001d\\u001e\\u001f\\u007f"},
        {"\xC2\x80\xC2\x85\xC2\x9F"
         "a\xE2\x80\xA8"
         "b\xE2\x80\xA9",
         fffd + fffd + fffd + "a" + fffd + "b" + fffd, "\\u0080\\u0085\\u009fa\\u2028b\\u2029"},
        // The neighbours of the separators stay; quote, backslash and solidus are escaped in the list.
        {"\xC2\xA0\xE2\x80\xA7\xE2\x80\xAA\"\\/", "\xC2\xA0\xE2\x80\xA7\xE2\x80\xAA\"\\/",
         "\xC2\xA0\xE2\x80\xA7\xE2\x80\xAA\\\"\\\\\\/"}};
    for (const auto& [text, inLine, inList] : cases) {
        EXPECT_EQ(oneLine(text), inLine);
        EXPECT_EQ(audio::devicesJson({{"u", text, 1, false}}, platformText()),
                  "[{\"uid\":\"u\",\"name\":\"" + inList + "\",\"ch\":1,\"default\":false}]");
    }
    // Bytes that are no UTF-8 are no character: a line passes them on (the parent's text is repaired
    // before it gets here), a cut-off separator among them.
    EXPECT_EQ(oneLine("\x85\xE2\x80"), "\x85\xE2\x80");
}

// What the command and device tests leave to these (trim is held against ICU in utf8_test): ill-formed
// text, and where a prefix ends.
TEST(Text, IllFormedTextEqualsOnlyItselfAndAPrefixEndsOnACharacterBoundary) {
    const Text& text = platformText();
    EXPECT_TRUE(text.equal("\xff\xfe", "\xff\xfe"));  // byte-identical, even ill-formed
    EXPECT_FALSE(text.equal("\xff", "\xfe"));         // both would read as U+FFFD
    EXPECT_FALSE(text.equal("\xef\xac\x81", "fi"));   // compatibility only, not canonical
    EXPECT_TRUE(text.startsWith("cafe\xcc\x81-1", "caf\xc3\xa9"));
    EXPECT_FALSE(text.startsWith("agge\xcc\x81", "agge"));  // that e carries an accent: another character
    EXPECT_FALSE(text.startsWith("ag", "agg"));
}

}  // namespace lumvar
