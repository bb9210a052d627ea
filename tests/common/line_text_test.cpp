#include <gtest/gtest.h>

#include "audio/devices_json.h"
#include "common/status_log.h"

namespace lumvar {

// How one text comes out in a status line and in the device list.
struct LineTextCase {
    const char* what;
    std::string text;
    std::string inLine;
    std::string inJson;  // the name's JSON string, quotes left out
};

TEST(LineText, EveryControlAndSeparatorIsReplacedInLinesAndEscapedInTheList) {
    const std::string fffd = "\xEF\xBF\xBD";
    const std::vector<LineTextCase> cases = {
        {"plain, with a tab", "Mic\t\xC3\x9C", "Mic\t\xC3\x9C", "Mic\\u0009\xC3\x9C"},
        {"CR, LF, NUL", std::string("a\r\nb\0c", 6), "a" + fffd + fffd + "b" + fffd + "c",
         "a\\u000d\\u000ab\\u0000c"},
        {"VT, FF, FS, GS, RS, US", "\x0B\x0C\x1C\x1D\x1E\x1F", fffd + fffd + fffd + fffd + fffd + fffd,
         "\\u000b\\u000c\\u001c\\u001d\\u001e\\u001f"},
        {"DEL", "x\x7Fy", "x" + fffd + "y", "x\\u007fy"},
        {"C1: first, NEL, last", "\xC2\x80\xC2\x85\xC2\x9F", fffd + fffd + fffd, "\\u0080\\u0085\\u009f"},
        {"the two separators",
         "a\xE2\x80\xA8"
         "b\xE2\x80\xA9",
         "a" + fffd + "b" + fffd, "a\\u2028b\\u2029"},
        {"their neighbours stay", "\xC2\xA0\xE2\x80\xA7\xE2\x80\xAA", "\xC2\xA0\xE2\x80\xA7\xE2\x80\xAA",
         "\xC2\xA0\xE2\x80\xA7\xE2\x80\xAA"},
        {"quote, backslash, solidus", "\"\\/", "\"\\/", "\\\"\\\\\\/"},
    };
    for (const LineTextCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(oneLine(c.text), c.inLine);
        const auto json = audio::devicesJson({{"u", c.text, 1, false}}, platformText());
        ASSERT_TRUE(json.has_value());
        EXPECT_EQ(*json, "[{\"uid\":\"u\",\"name\":\"" + c.inJson + "\",\"ch\":1,\"default\":false}]");
    }
    // Bytes that are no UTF-8 are no character: a line passes them on (the parent's text is repaired
    // before it gets here), a cut-off separator among them.
    EXPECT_EQ(oneLine("\x85\xE2\x80"), "\x85\xE2\x80");
}

}  // namespace lumvar
