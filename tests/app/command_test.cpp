#include "app/command.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <thread>

namespace lumvar::app {

const Text& text = platformText();

Command parsed(std::string_view line) {
    auto command = parseCommand(line, text);
    EXPECT_TRUE(command.has_value()) << line;
    return command.value_or(Command{});
}

TEST(ParseCommand, WordIsUpperCasedAndSplitAtTheFirstSpaceOnly) {
    EXPECT_EQ(parsed("system").word, "SYSTEM");
    EXPECT_EQ(parsed("  System \t").word, "SYSTEM");
    EXPECT_EQ(parsed("\xc5\xbfystem").word, "SYSTEM");  // long s upper-cases to S
    EXPECT_EQ(parsed("l\xc4\xb1st").word, "LIST");      // dotless i upper-cases to I
    const Command now = parsed("SYSTEM now");
    EXPECT_EQ(now.word, "SYSTEM");
    EXPECT_EQ(now.argument, "now");
    const Command spaced = parsed("INPUT   AbC  ");
    EXPECT_EQ(spaced.word, "INPUT");
    EXPECT_EQ(spaced.argument, "AbC");
    EXPECT_EQ(spaced.line, "INPUT   AbC");
    EXPECT_EQ(parsed("input My Device").argument, "My Device");
    EXPECT_EQ(parsed("INPUT \xc2\xa0 mic\xe3\x80\x80").argument,
              "mic");                             // no-break and ideographic spaces trim
    const Command tabbed = parsed("INPUT\tAbC");  // a tab does not split
    EXPECT_EQ(tabbed.word, "INPUT\tABC");
    EXPECT_EQ(tabbed.argument, std::nullopt);
    EXPECT_EQ(tabbed.line, "INPUT\tAbC");
    EXPECT_EQ(parsed("INPUT\t mic").word, "INPUT");  // blanks before the first space belong to neither
    EXPECT_EQ(parsed("INPUT").argument, std::nullopt);
    EXPECT_EQ(parsed("hello world").line, "hello world");
}

TEST(ParseCommand, BlankLinesAreDroppedAndBadBytesReplaced) {
    EXPECT_FALSE(parseCommand("", text).has_value());
    EXPECT_FALSE(parseCommand(" \t \xe2\x80\x83", text).has_value());
    const Command bad = parsed(
        "INPUT mi\xff"
        "c");
    EXPECT_EQ(bad.argument,
              "mi\xef\xbf\xbd"
              "c");
    EXPECT_EQ(parsed("\rLIST").word, "\rLIST");  // a carriage return is not blank
}

}  // namespace lumvar::app
